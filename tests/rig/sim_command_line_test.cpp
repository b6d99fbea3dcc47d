// The simulator's options as both front ends read them: what each command line leaves in the
// options, and which command lines are refused.
#include "rig/sim_command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarv {
namespace {

struct Parsed {
    bool ok = false;
    std::string error;
    bool simulate = false;
    SimOptions sim;
    std::string package;
};

Parsed Parse(std::vector<std::string> arguments) {
    Parsed parsed;
    CLI::App command{"test", "tarv-updater"};
    command.add_option("PACKAGE", parsed.package, "The package");
    AddSimulatorOptions(command, parsed.simulate, parsed.sim);
    arguments.insert(arguments.begin(), "tarv-updater");
    std::vector<char*> argv;
    for (std::string& a : arguments) {
        argv.push_back(a.data());
    }
    try {
        command.parse(static_cast<int>(argv.size()), argv.data());
        parsed.ok = true;
    } catch (const CLI::ParseError& e) {
        parsed.error = e.what();
    }
    return parsed;
}

TEST(SimulatorOptions, FaultsTakeOneValueEachSoThePackageMayFollow) {
    const Parsed p = Parse(
        {"--simulate", "--sim-fault", "2:stay-away", "--sim-fault", "unplug-after=300", "pkg.bin"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.simulate);
    EXPECT_EQ(p.sim.faults, (std::vector<std::string>{"2:stay-away", "unplug-after=300"}));
    EXPECT_EQ(p.package, "pkg.bin");
}

TEST(SimulatorOptions, EveryOptionReachesItsField) {
    const Parsed p = Parse({"pkg.bin", "--simulate", "--sim-instant", "--sim-flash-in", "in.img",
                            "--sim-flash-out", "out.img", "--sim-versions", "P210,S118,M305",
                            "--sim-devices", "3"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.sim.instant);
    EXPECT_EQ(p.sim.flashIn, "in.img");
    EXPECT_EQ(p.sim.flashOut, "out.img");
    EXPECT_EQ(p.sim.versions, "P210,S118,M305");
    EXPECT_EQ(p.sim.devices, 3);
    EXPECT_EQ(p.package, "pkg.bin");
}

TEST(SimulatorOptions, RefusesWhatTheSimulatorCannotDo) {
    const std::vector<std::vector<std::string>> refused = {
        {"--sim-instant"},                                // without --simulate
        {"--sim-fault", "garbage"},                       // without --simulate
        {"--simulate", "--sim-fault", "melt"},            // no such fault
        {"--simulate", "--sim-fault", "unplug-after=0"},  // out of range
        {"--simulate", "--sim-versions", "P210,S118"},    // two versions
        {"--simulate", "--sim-devices", "0"},             // no device
        {"--simulate", "--sim-devices", "1001"},          // beyond the operator's patience
    };
    for (const auto& arguments : refused) {
        const Parsed p = Parse(arguments);
        EXPECT_FALSE(p.ok) << testing::PrintToString(arguments);
    }
}

}  // namespace
}  // namespace tarv
