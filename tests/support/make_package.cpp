// tarv-make-package: writes the demo package and the fuzzing seeds from the test package writer.
//
//   tarv-make-package demo DIR    DIR/TarvUpdate.Bin and DIR/readme.txt
//   tarv-make-package seeds DIR   a handful of small valid and damaged packages
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "support/package_writer.h"

namespace fs = std::filesystem;
using namespace tarv::testing;

namespace {

void WriteDemo(const fs::path& dir) {
    fs::create_directories(dir);
    PackageWriter writer;
    writer.Program(PatternBytes(48 * 1024, 11), 0x40010000, "P210")
        .Sound(PatternBytes(200 * 1024 + 512, 12), 0x40100000, "S118")
        .Map(PatternBytes(120 * 1024 + 300, 13), 0x40400000, "M305")
        .MapScrambleLength(4096);
    writer.WriteTo(dir / "TarvUpdate.Bin");
    WriteFile(dir / "readme.txt",
              "Tarv device update, demo package\r\n"
              "\r\n"
              "Program P210: faster start after power on.\r\n"
              "Sound S118: new voice prompts.\r\n"
              "Map M305: updated routes.\r\n"
              "\r\n"
              "Keep the USB cable connected until the update has finished.\r\n");
}

void WriteSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    TypicalPackage().WriteTo(dir / "typical.bin");
    PackageWriter()
        .Program(PatternBytes(1024, 4), 0x40010000, "P001")
        .WriteTo(dir / "program-only.bin");
    TypicalPackage().MapScrambleLength(0xFFFFFFFF).WriteTo(dir / "map-all-scrambled.bin");
    TypicalPackage()
        .EditHeader([](tarv::PackageHeader& h) { h.Map.Offset = 0xFFFFFF00; })
        .WriteTo(dir / "map-outside.bin");
    TypicalPackage()
        .EditHeader([](tarv::PackageHeader& h) { h.Map.FlashAddress = 0x407FFF00; })
        .WriteTo(dir / "map-beyond-flash.bin");
    TypicalPackage().EditFile([](Bytes& f) { f.resize(1100); }).WriteTo(dir / "short.bin");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "demo") != 0 && std::strcmp(argv[1], "seeds") != 0)) {
        std::cerr << "usage: tarv-make-package demo|seeds DIR\n";
        return 2;
    }
    try {
        if (std::strcmp(argv[1], "demo") == 0) {
            WriteDemo(argv[2]);
        } else {
            WriteSeeds(argv[2]);
        }
    } catch (const std::exception& e) {
        std::cerr << "tarv-make-package: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
