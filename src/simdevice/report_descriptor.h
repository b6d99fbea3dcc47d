// The HID report descriptor of the simulated device: one vendor-defined collection with a
// 64-byte input report and a 64-byte output report, no report IDs.
#pragma once

#include <array>
#include <cstdint>

namespace tarv::simdevice {

inline constexpr std::array<std::uint8_t, 34> REPORT_DESCRIPTOR = {
    0x06, 0x00, 0xFF,  // usage page: vendor defined 0xFF00
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x09, 0x02,        //   usage 2
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, 0x40,        //   report count 64
    0x81, 0x02,        //   input: data, variable, absolute
    0x09, 0x03,        //   usage 3
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8 bits
    0x95, 0x40,        //   report count 64
    0x91, 0x02,        //   output: data, variable, absolute
    0xC0,              // end collection
};

}  // namespace tarv::simdevice
