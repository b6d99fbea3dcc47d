// Descriptors 0, 1 and 2 are the standard streams whatever else the program opens. A program
// started with one of them closed (`>&-`, a service manager) would otherwise hand that number to
// the next file it opens, and the status lines meant for stdout would land in, say, the log.
#pragma once

namespace tarv {

// Opens /dev/null on each of descriptors 0 to 2 that is closed. First thing in main.
void OpenMissingStandardDescriptors();

}  // namespace tarv
