// Command-line cases that only Windows has.

#include <windows.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "markers.h"

namespace {

TEST(cli, file_held_open_without_sharing_is_status_1) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, bare_frame);
    const HANDLE held = CreateFileW(native_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const run_result r = run_dhtfix({path});
    CloseHandle(held);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path), bare_frame);
}

// Another run holds the lock: this one waits for it, then repairs.
TEST(cli, waits_for_the_lock_of_another_run) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, bare_frame);
    const HANDLE held = CreateFileW(native_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    OVERLAPPED whole{};
    ASSERT_TRUE(LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole));
    const running_dhtfix child = start_dhtfix({path});
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.process), 500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "did not wait for the lock";
    CloseHandle(held);
    const run_result r = finish(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "read 117 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
    EXPECT_EQ(read_file(path), repaired(bare_frame, 20));
}

// Windows shells leave wildcards to each program: the tool expands them
// from the wide command line, files only, in name order. One that matches
// nothing stays as it is and fails to open.
TEST(cli, wildcards_are_expanded) {
    scratch_dir dir, logs;
    const std::string cyrillic = "\xD0\xBA\xD0\xB0\xD0\xB4\xD1\x80.jpg";  // beyond the ANSI code page
    for (const std::string& name : {std::string("b.jpg"), std::string("A.jpg"), cyrillic, std::string("c.jpeg")})
        write_file(dir.path(name), bare_frame);
    std::filesystem::create_directory(native_path(dir.path("folder.jpg")));
    const run_result r = run_dhtfix({"*.jpg", "none*.jpg"}, {.directory = dir.root, .err_file = logs.path("err")});
    EXPECT_EQ(r.status, 1);
    std::string out;
    for (const std::string& name : {std::string("A.jpg"), std::string("b.jpg"), cyrillic})
        out += name + ": read 117 bytes\n" + name + ": FF DB/DQT tag ofs: 14; adding DHT\n";
    EXPECT_EQ(r.out, out);
    const bytes err = read_file(logs.path("err"));
    EXPECT_TRUE(std::string(err.begin(), err.end()).starts_with("dhtfix: none*.jpg: cannot open it for reading and writing: "))
        << std::string(err.begin(), err.end());
    EXPECT_EQ(read_file(dir.path("c.jpeg")), bare_frame);
}

}  // namespace
