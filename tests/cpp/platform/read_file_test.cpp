// Reading a whole file with a size cap, and the version it was read at.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/file.h"

using namespace tarnix;

namespace {

std::string temp_path(const char* name) { return testing::TempDir() + "tarnix-read-file-" + name; }

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(ReadFile, StatusesAndContents) {
    const std::string normal = temp_path("normal"), empty = temp_path("empty"), fifo = temp_path("fifo");
    write(normal, "twelve bytes");
    write(empty, "");
    struct Case {
        const char* what;
        std::string path;
        size_t cap;
        FileStatus status;
        const char* text;
    };
    std::vector<Case> cases = {
        {"normal", normal, 12, FileStatus::Ok, "twelve bytes"},
        {"over the cap", normal, 11, FileStatus::TooLarge, ""},
        {"empty", empty, 0, FileStatus::Ok, ""},
        {"missing", temp_path("none/x"), 100, FileStatus::NotFound, ""},
        {"directory", testing::TempDir(), 100, FileStatus::Unreadable, ""},
    };
#ifndef _WIN32
    // A FIFO named as a CA or hosts file is refused, not waited on.
    std::remove(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) == 0) cases.push_back({"fifo", fifo, 100, FileStatus::Unreadable, ""});
#endif
    for (const Case& c : cases) {
        OwnedBytes out;
        FileVersion v;
        EXPECT_EQ(int(file_read_all(c.path.c_str(), c.cap, &out, &v)), int(c.status)) << c.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), c.text) << c.what;
        FileVersion seen;
        if (c.status == FileStatus::Ok) {
            ASSERT_EQ(int(file_version(c.path.c_str(), &seen)), int(FileStatus::Ok)) << c.what;
            EXPECT_EQ(v.size, seen.size) << c.what;
            EXPECT_EQ(v.id, seen.id) << c.what;
            EXPECT_EQ(v.mtime_ns, seen.mtime_ns) << c.what;
        } else if (c.status != FileStatus::TooLarge) {
            EXPECT_EQ(int(file_version(c.path.c_str(), &seen)), int(c.status)) << c.what;
        }
    }
    for (const std::string& p : {normal, empty, fifo}) std::remove(p.c_str());
}

}  // namespace
