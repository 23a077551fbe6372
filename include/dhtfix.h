/* libdhtfix: gives JPEG frames in memory the standard Huffman tables they
 * lack, by the same rule as the dhtfix tool gives them to files.
 *
 * A Motion-JPEG frame often leaves out its DHT segment and counts on the
 * decoder to know the typical tables of ITU-T T.81 Annex K.3. This library
 * puts the 420-byte segment with those tables in front of the first DQT
 * segment of every image of a buffer that lacks tables and that they fit.
 *
 * No function allocates, does I/O, keeps state or prints: any thread may
 * call any of them on any buffer. Each reads and writes only the buffers it
 * is given, whatever their bytes, and a null pointer with a size of 0 is an
 * empty buffer. Failures are returned codes; dhtfix_status_text names them.
 */
#ifndef DHTFIX_H
#define DHTFIX_H

#include <stddef.h>

#if defined(_WIN32) && defined(DHTFIX_SHARED)
#define DHTFIX_API __declspec(dllimport)
#elif defined(__GNUC__)
#define DHTFIX_API __attribute__((visibility("default")))
#else
#define DHTFIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define DHTFIX_VERSION_MAJOR 3
#define DHTFIX_VERSION_MINOR 3
#define DHTFIX_VERSION_PATCH 0
#define DHTFIX_VERSION "3.3.0"

/* What a buffer's first image decides for it, as the tool decides for a
 * file with those bytes. */
typedef enum dhtfix_verdict {
    DHTFIX_TOO_SHORT = 0,     /* under 52 bytes: left as it is */
    DHTFIX_NOT_JPEG = 1,      /* it does not start with SOI: never written */
    DHTFIX_DAMAGED = 2,       /* its first image is damaged before its scan */
    DHTFIX_HAS_TABLES = 3,    /* a DHT segment comes before the first scan */
    DHTFIX_NEEDS_NONE = 4,    /* neither a DHT nor a DQT segment before it */
    DHTFIX_LACKS_TABLES = 5   /* a DQT and no DHT: every image is judged */
} dhtfix_verdict;

/* What became of an image that lacks tables. */
typedef enum dhtfix_fit {
    DHTFIX_FITS = 0,        /* the standard tables decode its first scan: it takes them */
    DHTFIX_UNFIT = 1,       /* they cannot stand in for the ones it was coded with: left alone */
    DHTFIX_ENDS_EARLY = 2   /* its data ends before its EOI: left alone until it is whole */
} dhtfix_fit;

typedef struct dhtfix_image {
    size_t offset;   /* of its first DQT segment's 0xFF byte, where the segment goes */
    dhtfix_fit fit;
} dhtfix_image;

typedef struct dhtfix_report {
    dhtfix_verdict verdict;
    size_t tag_offset;     /* the deciding DHT's or DQT's 0xFF byte; 0 for the other verdicts */
    size_t images;         /* images judged: all when the first lacks tables; else 1, or 0 if no JPEG */
    size_t lacking;        /* of those, the images that lack tables */
    size_t fitting;        /* of those, the ones that take the standard tables */
    size_t repaired_size;  /* the size after repair: the size plus 420 for each fitting image */
} dhtfix_report;

typedef enum dhtfix_status {
    DHTFIX_OK = 0,                 /* done; for a repair: at least one image took the tables */
    DHTFIX_UNCHANGED = 1,          /* a repair had nothing to do: the bytes are as they were */
    DHTFIX_BUFFER_TOO_SMALL = -1,  /* the output needs more room: *size_out says how much */
    DHTFIX_INVALID_ARGUMENT = -2,  /* a null pointer for a buffer with a size, or buffers that overlap */
    DHTFIX_TOO_LARGE = -3          /* the repaired size would not fit in a size_t */
} dhtfix_status;

/* The library's version, "3.3.0"; DHTFIX_VERSION is the header's. */
DHTFIX_API const char *dhtfix_version(void);

/* A short English text for a status: "the output buffer is too small". */
DHTFIX_API const char *dhtfix_status_text(int status);

/* The standard DHT segment, from its FF C4 marker on: 420 bytes. */
DHTFIX_API const unsigned char *dhtfix_standard_segment(void);
DHTFIX_API size_t dhtfix_standard_segment_size(void);

/* Judges the frame's size bytes into *report, and the first capacity of
 * the images that lack tables into images, in order (images may be null
 * when capacity is 0; report->lacking tells how many there are). Returns
 * DHTFIX_OK, DHTFIX_TOO_LARGE or DHTFIX_INVALID_ARGUMENT. */
DHTFIX_API int dhtfix_inspect(const void *frame, size_t size, dhtfix_report *report, dhtfix_image *images,
                              size_t capacity);

/* Writes the repaired frame into out, which holds capacity bytes and must
 * not overlap the frame: exactly the bytes dhtfix would leave in a file with
 * the frame's content. Returns DHTFIX_OK with the repaired size in
 * *size_out; DHTFIX_UNCHANGED with the frame copied as it is and its size
 * in *size_out; or DHTFIX_BUFFER_TOO_SMALL with the size out needs in
 * *size_out, and out's bytes unspecified. */
DHTFIX_API int dhtfix_repair(const void *frame, size_t size, void *out, size_t capacity, size_t *size_out);

/* Repairs the size bytes of a frame in a buffer of capacity bytes, moving
 * them with memmove: a driver's buffer that is larger than the frame. The
 * results are those of dhtfix_repair; with DHTFIX_BUFFER_TOO_SMALL and
 * DHTFIX_UNCHANGED the buffer is untouched, and the bytes past the frame
 * are written only by a repair that is made. */
DHTFIX_API int dhtfix_repair_in_place(void *frame, size_t size, size_t capacity, size_t *size_out);

#ifdef __cplusplus
}
#endif

#endif /* DHTFIX_H */
