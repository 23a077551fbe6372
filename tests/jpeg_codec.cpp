#include "jpeg_codec.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <jpeglib.h>

namespace {

[[noreturn]] void throw_error(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    throw std::runtime_error(text);
}

void throw_on_warning(j_common_ptr cinfo, int level) {
    if (level < 0) throw_error(cinfo);
}

void ignore_warning(j_common_ptr, int) {}

jpeg_error_mgr* strict_errors(jpeg_error_mgr* err, tolerance allowed = tolerance::none) {
    jpeg_std_error(err);
    err->error_exit = throw_error;
    err->emit_message = allowed == tolerance::none ? throw_on_warning : ignore_warning;
    return err;
}

std::optional<huffman_table> table_of(const JHUFF_TBL* t) {
    if (t == nullptr) return std::nullopt;
    huffman_table out{bytes(t->bits + 1, t->bits + 17), {}};
    std::size_t n = 0;
    for (auto b : out.bits) n += b;
    out.values.assign(t->huffval, t->huffval + n);
    return out;
}

template <typename Info>
table_set tables_of(const Info& info) {
    return {table_of(info.dc_huff_tbl_ptrs[0]), table_of(info.dc_huff_tbl_ptrs[1]),
            table_of(info.ac_huff_tbl_ptrs[0]), table_of(info.ac_huff_tbl_ptrs[1])};
}

// The decompressor, set up on jpeg and with its header read.
struct reader {
    explicit reader(const bytes& jpeg, tolerance allowed = tolerance::none) {
        d.err = strict_errors(&err, allowed);
        jpeg_create_decompress(&d);
        jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&d, TRUE);
    }
    ~reader() { jpeg_destroy_decompress(&d); }
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;
    jpeg_error_mgr err{};
    jpeg_decompress_struct d{};
};

struct writer {
    writer() {
        c.err = strict_errors(&err);
        jpeg_create_compress(&c);
    }
    ~writer() {
        jpeg_destroy_compress(&c);
        std::free(out);
    }
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;
    jpeg_error_mgr err{};
    jpeg_compress_struct c{};
    unsigned char* out = nullptr;
    unsigned long size = 0;
};

}  // namespace

picture test_pattern(int width, int height, int components) {
    picture p{width, height, components, {}};
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c) {
                noise = noise * 1103515245u + 12345u;
                const int edge = ((x / 7 + y / 5) % 3 == 0) ? 90 : 0;
                const int v = (x * 255 / width) * (c + 1) / 2 + y * (3 - c) + edge
                              + static_cast<int>(noise >> 28);
                p.pixels.push_back(static_cast<std::uint8_t>(v & 0xFF));
            }
    return p;
}

bytes encode(const picture& p, const encoding& e) {
    writer w;
    jpeg_mem_dest(&w.c, &w.out, &w.size);
    w.c.image_width = static_cast<JDIMENSION>(p.width);
    w.c.image_height = static_cast<JDIMENSION>(p.height);
    w.c.input_components = p.components;
    w.c.in_color_space = p.components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&w.c);
    jpeg_set_quality(&w.c, e.quality, TRUE);
    w.c.comp_info[0].h_samp_factor = e.luma_h;
    w.c.comp_info[0].v_samp_factor = e.luma_v;
    w.c.restart_interval = static_cast<unsigned>(e.restart_interval);
    w.c.optimize_coding = e.optimize ? TRUE : FALSE;
    w.c.arith_code = e.arithmetic ? TRUE : FALSE;
    if (e.progressive) jpeg_simple_progression(&w.c);
    jpeg_start_compress(&w.c, TRUE);
    while (w.c.next_scanline < w.c.image_height) {
        auto* row = const_cast<JSAMPLE*>(p.pixels.data()
                                         + w.c.next_scanline * static_cast<std::size_t>(p.width * p.components));
        jpeg_write_scanlines(&w.c, &row, 1);
    }
    jpeg_finish_compress(&w.c);
    return bytes(w.out, w.out + w.size);
}

picture decode(const bytes& jpeg, tolerance allowed) {
    reader r(jpeg, allowed);
    jpeg_start_decompress(&r.d);
    picture p{static_cast<int>(r.d.output_width), static_cast<int>(r.d.output_height),
              r.d.output_components, {}};
    const std::size_t stride = r.d.output_width * static_cast<std::size_t>(r.d.output_components);
    p.pixels.resize(stride * r.d.output_height);
    while (r.d.output_scanline < r.d.output_height) {
        JSAMPLE* row = p.pixels.data() + r.d.output_scanline * stride;
        jpeg_read_scanlines(&r.d, &row, 1);
    }
    jpeg_finish_decompress(&r.d);
    return p;
}

bytes strip_dht(const bytes& jpeg) {
    bytes out(jpeg.begin(), jpeg.begin() + 2);  // SOI
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t end = at + 2 + (std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
        if (jpeg[at + 1] != 0xC4) out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at),
                                             jpeg.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
    return out;
}

table_set file_tables(const bytes& jpeg) {
    // The decoder falls back to the typical tables only when it starts
    // decoding, so right after the header these are the file's own.
    reader r(jpeg);
    return tables_of(r.d);
}

table_set encoder_tables() {
    writer w;
    w.c.in_color_space = JCS_RGB;
    w.c.input_components = 3;
    jpeg_set_defaults(&w.c);
    return tables_of(w.c);
}
