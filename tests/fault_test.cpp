#include <gtest/gtest.h>

#include "markers.h"

namespace {

// Under every file-size limit that stops the rewrite part way, the run must
// report failure and leave the file exactly as it was; a limit that fits the
// repaired file lets it through. Both with SIGXFSZ ignored by the parent and
// with its default action, which would kill an unprotected rewrite halfway.
TEST(fault, size_limit_never_leaves_a_partial_file) {
    const bytes frame = soi + app0 + dqt_head + zeros(64) + sof0 + sos + zeros(300) + eoi;
    const long long size = static_cast<long long>(frame.size());
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    for (const bool ignore : {true, false}) {
        for (long long limit = size; limit <= size + 420; ++limit) {
            write_file(path, frame);
            const run_result r = run_dhtfix({path}, {.file_size = limit, .ignore_sigxfsz = ignore});
            const bool fits = limit == size + 420;
            ASSERT_EQ(r.status, fits ? 0 : 5) << "limit " << limit << ", SIGXFSZ ignored: " << ignore;
            ASSERT_EQ(read_file(path), fits ? repaired(frame, 20) : frame) << "limit " << limit;
            ASSERT_EQ(r.out, "read " + std::to_string(size) + " bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
        }
    }
}

}  // namespace
