// Command-line cases that only Windows has.

#include <windows.h>

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

}  // namespace
