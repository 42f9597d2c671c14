// Windows modules the bench must refuse before any Wine process starts: what the PE headers say,
// and the one line (exit code 2) every subcommand of zeph-host gives for them, as for a bad .so.
#include "built_paths.h"
#include "bridge/pe_file.h"
#include "module_loader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using zeph::host::bridge::inspectPe;
using zeph::host::bridge::inspectPeFile;
using zeph::host::bridge::looksLikeWindowsModule;
using zeph::host::bridge::PeCheck;

namespace {

// A smallest PE image: headers, one section holding the export directory and its names.
struct Image {
    uint16_t machine = 0x14c;
    uint16_t magic = 0x10b;
    bool dll = true;
    std::vector<std::string> exports = {"load_zeph_client_script"};
};

std::vector<unsigned char> build(const Image& im) {
    std::vector<unsigned char> b(0x400, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        b[at] = uint8_t(v);
        b[at + 1] = uint8_t(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, uint16_t(v));
        put16(at + 2, uint16_t(v >> 16));
    };
    b[0] = 'M';
    b[1] = 'Z';
    put32(0x3c, 0x80);
    put32(0x80, 0x00004550);
    const size_t coff = 0x84, opt = 0x98, optSize = 224, section = opt + optSize;
    put16(coff, im.machine);
    put16(coff + 2, 1);
    put16(coff + 16, optSize);
    put16(coff + 18, uint16_t(0x0102 | (im.dll ? 0x2000 : 0)));
    put16(opt, im.magic);
    put32(opt + 92, 16);
    put32(opt + 96, 0x1000); // export directory
    put32(opt + 100, 0x100);
    put32(section + 8, 0x200);   // virtual size
    put32(section + 12, 0x1000); // virtual address
    put32(section + 16, 0x200);  // raw size
    put32(section + 20, 0x200);  // raw offset
    put32(0x200 + 24, uint32_t(im.exports.size()));
    put32(0x200 + 32, 0x1000 + 40); // the name table
    size_t name = 40 + 4 * im.exports.size();
    for (size_t i = 0; i < im.exports.size(); ++i) {
        put32(0x200 + 40 + 4 * i, uint32_t(0x1000 + name));
        std::copy(im.exports[i].begin(), im.exports[i].end(), b.begin() + 0x200 + long(name));
        name += im.exports[i].size() + 1;
    }
    return b;
}

// A file of the given bytes in the test's temporary folder, removed with the object: the suite
// runs on every CI and leaves nothing behind.
class TempFile {
public:
    TempFile(const std::string& name, const std::vector<unsigned char>& bytes)
        : m_path(::testing::TempDir() + "windows_module_" + std::to_string(getpid()) + "_" + name) {
        std::ofstream(m_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ~TempFile() { std::remove(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    operator const std::string&() const { return m_path; }

private:
    std::string m_path;
};

std::vector<unsigned char> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(pe_file, headers_decide_what_kind_of_module_it_is) {
    Image exe, amd64, arm, plus, other;
    exe.dll = false;
    amd64.machine = 0x8664;
    amd64.magic = 0x20b;
    arm.machine = 0x1c4;
    plus.magic = 0x20b;
    other.exports = {"DllMain", "load_zeph_client_scrip", "_load_zeph_client_script@8"};
    std::vector<unsigned char> noPe = build(Image{});
    noPe[0x80] = 'X';
    std::vector<unsigned char> truncated = build(Image{});
    truncated.resize(0x90);
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
        PeCheck::Kind kind;
        const char* why;
    } cases[] = {
        {"the factory exported", build(Image{}), PeCheck::Kind::Ok, ""},
        {"text", bytesOf("just some text, long enough to fill a DOS header's 64 bytes ...."),
         PeCheck::Kind::NotPe, "not a Windows DLL (no MZ header)"},
        {"short", bytesOf("MZ"), PeCheck::Kind::NotPe, "not a Windows DLL (no MZ header)"},
        {"no PE signature", noPe, PeCheck::Kind::NotPe, "not a Windows DLL (no PE header)"},
        {"program", build(exe), PeCheck::Kind::NotDll, "a Windows program, not a DLL"},
        {"x64", build(amd64), PeCheck::Kind::SixtyFourBit,
         "a 64-bit DLL; panel hosts load 32-bit x86 DLLs only"},
        {"PE32+ header", build(plus), PeCheck::Kind::SixtyFourBit,
         "a 64-bit DLL; panel hosts load 32-bit x86 DLLs only"},
        {"ARM", build(arm), PeCheck::Kind::OtherMachine, "built for machine 0x1c4, not 32-bit x86"},
        {"other exports only", build(other), PeCheck::Kind::NoFactory,
         "exports no load_zeph_client_script"},
        {"truncated", truncated, PeCheck::Kind::NotPe, "not a Windows DLL (no PE header)"},
    };
    for (const auto& c : cases) {
        const PeCheck r = inspectPe(c.bytes);
        EXPECT_EQ(int(r.kind), int(c.kind)) << c.name;
        EXPECT_EQ(r.why, c.why) << c.name;
    }
    EXPECT_EQ(inspectPe(build(other)).exports, other.exports);
}

TEST(pe_file, built_dlls_are_read_as_their_linkers_wrote_them) {
    for (const char* name : {"Ostrel.dll"}) {
        const std::string path = std::string(zeph::built::windowsBin) + "/" + name;
        if (!std::filesystem::exists(path))
            continue;
        const PeCheck r = inspectPeFile(path);
        EXPECT_EQ(int(r.kind), int(PeCheck::Kind::Ok)) << path << ": " << r.why;
    }
#if defined(ZEPH_HAS_PROBE_DLL)
    // DLLs of another linker than the component's: mingw's.
    EXPECT_EQ(int(inspectPeFile(zeph::built::probeDll).kind), int(PeCheck::Kind::Ok));
    const PeCheck noFactory = inspectPeFile(zeph::built::probeNoFactoryDll);
    EXPECT_EQ(int(noFactory.kind), int(PeCheck::Kind::NoFactory));
    EXPECT_EQ(noFactory.exports, std::vector<std::string>{"probe_without_factory"});
#endif
    const PeCheck missing = inspectPeFile("/nonexistent/Missing.dll");
    EXPECT_EQ(int(missing.kind), int(PeCheck::Kind::Unreadable));
    EXPECT_EQ(missing.why, "No such file or directory");
}

TEST(pe_file, windows_modules_are_told_by_name_or_by_content) {
    const TempFile mzSo("renamed.so", build(Image{}));
    const TempFile textDll("text.DLL", bytesOf("hello"));
    const TempFile elfSo("lib.so", bytesOf("\x7f"
                                           "ELF"));
    EXPECT_TRUE(looksLikeWindowsModule(mzSo));
    EXPECT_TRUE(looksLikeWindowsModule(textDll));
    EXPECT_TRUE(looksLikeWindowsModule("/nonexistent/Missing.dll"));
    EXPECT_FALSE(looksLikeWindowsModule(elfSo));
    EXPECT_FALSE(looksLikeWindowsModule("/nonexistent/Missing.so"));
}

// Every subcommand, every bad Windows module: exit code 2 and one line that says why.
TEST(windows_module, bad_dlls_give_one_line_and_exit_2_before_wine_starts) {
    Image amd64, exe, other;
    amd64.machine = 0x8664;
    amd64.magic = 0x20b;
    exe.dll = false;
    other.exports = {"DllMain"};
    const TempFile textFile("text.dll", bytesOf("not a library at all\n"));
    const TempFile x64File("x64.dll", build(amd64));
    const TempFile programFile("program.dll", build(exe));
    const TempFile noFactoryFile("nofactory.dll", build(other));
    const std::string &text = textFile, &x64 = x64File, &program = programFile,
                      &noFactory = noFactoryFile;
    const std::pair<std::string, std::string> cases[] = {
        {text, "cannot load " + text + ": not a Windows DLL (no MZ header)"},
        {x64, "cannot load " + x64 + ": a 64-bit DLL; panel hosts load 32-bit x86 DLLs only"},
        {program, "cannot load " + program + ": a Windows program, not a DLL"},
        {noFactory, noFactory + " exports no load_zeph_client_script"},
        {"/nonexistent/Missing.dll",
         "cannot load /nonexistent/Missing.dll: No such file or directory"},
    };
    for (const auto& [path, message] : cases) {
        zeph::host::Module m;
        EXPECT_FALSE(m.open(path));
        EXPECT_EQ(m.error(), message);
        EXPECT_FALSE(m.bridged());
        for (const char* sub : {"run", "validate", "shell", "soak"}) {
            const std::string errPath =
                ::testing::TempDir() + "windows_module_err_" + std::to_string(getpid());
            const std::string command = std::string(zeph::built::hostExe) + " " + sub + " " + path +
                                        " </dev/null >/dev/null 2>" + errPath;
            const int status = std::system(command.c_str());
            std::ifstream in(errPath);
            std::string line, rest;
            std::getline(in, line);
            std::getline(in, rest, '\0');
            std::remove(errPath.c_str());
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << sub << " " << path;
            EXPECT_EQ(line, "zeph-host: " + message) << sub;
            EXPECT_EQ(rest, "") << sub;
        }
    }
}

} // namespace
