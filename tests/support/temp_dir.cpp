#include "support/temp_dir.h"

#include <stdexcept>
#include <stdlib.h>
#include <system_error>

namespace tarv::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarv-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace tarv::testing
