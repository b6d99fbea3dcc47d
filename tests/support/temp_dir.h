// A fresh directory for one test, removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace tarv::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

  private:
    std::filesystem::path m_path;
};

}  // namespace tarv::testing
