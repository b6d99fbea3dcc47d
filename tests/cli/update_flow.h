// Shared by the update command's end-to-end tests: a package and a starting flash in a fresh
// directory, the simulated update run on them, and what the run left.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_process.h"
#include "support/expected_flash.h"
#include "support/package_writer.h"
#include "support/run_output.h"
#include "support/temp_dir.h"

namespace tarv::testing {

class UpdateFlow {
  public:
    // Writes the package and a starting flash for each of `devices` simulated devices (device
    // k's flash files are flash-in.k and flash-out.k when there are several).
    explicit UpdateFlow(const PackageWriter& writer, int devices = 1);

    // The arguments of `update --simulate` on this package and flash, then `extra`.
    std::vector<std::string> Arguments(const std::vector<std::string>& extra) const;
    CliResult Run(const std::vector<std::string>& extra) const;

    const PackageWriter& Writer() const { return m_writer; }
    std::string PackagePath() const { return m_dir / "TarvUpdate.Bin"; }
    const Bytes& Before(int device = 1) const { return m_before[device - 1]; }
    Bytes After(int device = 1) const;
    // "" when device k's flash is what a correct run leaves.
    std::string Mismatch(int device = 1) const;

  private:
    std::string FlashFile(const std::string& name, int device) const;

    TempDir m_dir;
    PackageWriter m_writer;
    int m_nDevices;
    std::vector<Bytes> m_before;
};

}  // namespace tarv::testing
