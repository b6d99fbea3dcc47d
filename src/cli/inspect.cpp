#include "cli/inspect.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <span>
#include <string_view>

#include "package/package.h"
#include "update/validation.h"

namespace tarv::cli {
namespace {

std::string Hex(std::span<const char> bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += DIGITS[b >> 4];
        text += DIGITS[b & 0xF];
    }
    return text;
}

std::string Printable(std::span<const char> bytes) {
    std::string text;
    for (const char c : bytes) {
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Format(const char* format, auto... args) {
    char line[256];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

nlohmann::json SectionJson(const PackageSection& s) {
    return {{"present", s.Present()},
            {"offset", s.Offset},
            {"length", s.Length},
            {"flashAddress", s.FlashAddress},
            {"version", Hex(s.Version)}};
}

void PrintSection(std::ostream& out, const char* name, const PackageSection& s) {
    const std::string length = s.Present() ? Format("0x%08x", s.Length) : "absent";
    out << Format("%-8s 0x%08x  %-10s  0x%08x     %-4s (%s)\n", name, s.Offset, length.c_str(),
                  s.FlashAddress, Printable(s.Version).c_str(), Hex(s.Version).c_str());
}

nlohmann::json ValidationJson(const ValidationResult& v) {
    if (!v.ok()) {
        return {{"ok", false}, {"error", v.message}};
    }
    nlohmann::json checkBytes = nlohmann::json::array();
    for (const auto& b : v.checkBytes) {
        checkBytes.push_back(b ? nlohmann::json(*b) : nlohmann::json(nullptr));
    }
    return {{"ok", true},
            {"lengths", v.lengths},
            {"checks", v.checks},
            {"checkBytes", checkBytes},
            {"timeLeftMs", v.timeLeftMs},
            {"basePercent", v.progress.basePercent}};
}

std::string SectionWords(const std::array<std::uint32_t, 3>& values) {
    static constexpr const char* NAMES[] = {"program", "sound", "map"};
    std::string text;
    for (std::size_t s = 0; s < 3; ++s) {
        text += s == 0 ? "" : "  ";
        text += values[s] == SECTION_ABSENT ? Format("%s absent", NAMES[s])
                                            : Format("%s 0x%08x", NAMES[s], values[s]);
    }
    return text;
}

void PrintValidation(std::ostream& out, const ValidationResult& v) {
    if (!v.ok()) {
        out << "Run checks          refused: " << v.message << '\n';
        return;
    }
    out << "Run checks          passed\n";
    out << "Record lengths      " << SectionWords(v.lengths) << '\n';
    out << "Record checks       " << SectionWords(v.checks) << '\n';
    out << Format("Time estimate       %u ms, bar from %u%%\n", v.timeLeftMs,
                  static_cast<unsigned>(v.progress.basePercent));
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err) {
    CUpdatePackage package;
    LoadOptions load;
    load.packagePath = options.packagePath;
    load.computeSha256 = true;
    const LoadOutcome outcome = LoadPackage(package, load);

    if (!outcome.ok()) {
        if (options.json) {
            out << nlohmann::json{{"ok", false}, {"error", outcome.status.message}}.dump() << '\n';
        } else {
            err << outcome.status.message << '\n';
        }
        return 1;
    }

    const PackageHeader header = package.Header();
    const PackageVersionText& version = package.VersionText();
    // The checks a run makes before it touches the device; no device is involved. A package
    // that loads but fails them would fail on every device, so it counts as refused.
    const ValidationResult validation = ValidatePackage(package);
    const int status = validation.ok() ? 0 : 1;
    if (options.json) {
        const nlohmann::json result = {
            {"ok", true},
            {"sha256", Sha256Hex(*package.FileDigest())},
            {"payloadLength", package.PayloadLength()},
            {"mapScrambleLength", header.MapScrambleLength},
            {"versionTextHex", Hex(version)},
            {"program", SectionJson(header.Program)},
            {"sound", SectionJson(header.Sound)},
            {"map", SectionJson(header.Map)},
            {"checks",
             {{"program", header.ProgramCheck},
              {"sound", header.SoundCheck},
              {"map", header.MapCheck}}},
            {"validation", ValidationJson(validation)},
        };
        out << result.dump() << '\n';
        return status;
    }

    out << "Package             " << options.packagePath << '\n';
    out << "SHA-256             " << Sha256Hex(*package.FileDigest()) << '\n';
    out << Format("Payload length      %u bytes (0x%x)\n", package.PayloadLength(),
                  package.PayloadLength());
    out << Format("MapScrambleLength   %u\n", header.MapScrambleLength);
    out << "Section  Offset      Length      Flash address  Version\n";
    PrintSection(out, "program", header.Program);
    PrintSection(out, "sound", header.Sound);
    PrintSection(out, "map", header.Map);
    out << Format("Check bytes         program 0x%02x  sound 0x%02x  map 0x%02x\n",
                  header.ProgramCheck, header.SoundCheck, header.MapCheck);
    out << "Version text        " << Printable(std::span(version).first(14)) << " (" << Hex(version)
        << ")\n";
    PrintValidation(out, validation);
    return status;
}

}  // namespace tarv::cli
