// File names: UTF-8 decoded to UTF-16 exactly, and files whose names hold
// characters of several scripts (or, where names are bytes, bytes that are not
// UTF-8) opened by the reader under the name Python hands it.

#include <doctest/doctest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "pcd/file_name.hpp"
#include "pcd/pcd_reader.hpp"
#include "pcd/platform.hpp"

TEST_CASE("utf8_to_utf16") {
    struct Case {
        const char* utf8;
        std::u16string utf16;
    };
    const Case valid[] = {
        {"", u""},
        {"cloud.pcd", u"cloud.pcd"},
        {"caf\xc3\xa9", u"caf\u00e9"},
        {"\xe7\x82\xb9\xe4\xba\x91", u"\u70b9\u4e91"},
        {"\xd0\xbe\xd0\xb1", u"\u043e\u0431"},
        {"\xef\xbf\xbf", u"\uffff"},
        {"\xf0\x9f\x98\x80", u"\xd83d\xde00"},  // a pair of surrogates
        {"\xf4\x8f\xbf\xbf", u"\xdbff\xdfff"},
    };
    for (const Case& c : valid) {
        CAPTURE(c.utf8);
        const auto units = pcd::utf8_to_utf16(c.utf8);
        REQUIRE(units);
        CHECK(*units == c.utf16);
    }
    // utf8_sequence_length has the full table of ill-formed sequences.
    for (const char* bad : {"\xff", "a\xc3", "\xed\xa0\x80", "x\x80y"}) {
        CAPTURE(bad);
        CHECK_FALSE(pcd::utf8_to_utf16(bad));
    }
}

namespace {

const char one_point[] =
    "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\n"
    "HEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n";

// Writes a one-point cloud to the file `leaf` in the temporary directory,
// through the standard library's own path conversions, and removes it again at
// the end of scope.
struct NamedFile {
    std::filesystem::path path;
    std::string name;  // the UTF-8 (or, where names are bytes, the bytes) of `path`

    explicit NamedFile(const std::filesystem::path& leaf)
        : path(std::filesystem::temp_directory_path() / leaf), name(path.u8string()) {
        std::ofstream(path, std::ios::binary) << one_point;
    }
    ~NamedFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

}  // namespace

TEST_CASE("a file whose name is not ASCII opens under its UTF-8 name") {
    // Latin, Chinese, Cyrillic, Greek and a character beyond the BMP.
    const NamedFile file(u"caf\u00e9_\u70b9\u4e91_\u043e\u0431_\u03c3_\U0001F600.pcd");
    const pcd::PcdCloud cloud = pcd::read_pcd(file.name);
    REQUIRE(cloud.buffer->size == 12);
    float xyz[3];
    std::memcpy(xyz, cloud.buffer->data.get(), sizeof xyz);
    CHECK(xyz[0] == 1.0f);
    CHECK(xyz[2] == 3.0f);
}

TEST_CASE("a name that is not UTF-8") {
    const std::string name = "kelvarin-\xff-not-utf8.pcd";
    if constexpr (pcd::platform::utf16_file_names) {
        // No UTF-16 name corresponds to it, so no file has it.
        const std::string dir = std::filesystem::temp_directory_path().u8string() + "/";
        CHECK_FALSE(pcd::file_system_path(dir + name));
        const std::string message = "Cannot open PCD file: " + dir + "kelvarin-\\xff-not-utf8.pcd";
        CHECK_THROWS_WITH_AS(pcd::read_pcd(dir + name), message.c_str(), std::runtime_error);
    } else {
        // Names are bytes here: any of them opens.
        const NamedFile file{std::filesystem::path(name)};
        CHECK(pcd::read_pcd(file.name).buffer->size == 12);
    }
}
