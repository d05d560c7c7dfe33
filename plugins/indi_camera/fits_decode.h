#pragma once
// Decodes the frame file a device server sends: a FITS image of 16-bit pixels
// (signed, or unsigned through BZERO 32768). Anything else is refused with the
// reason rather than converted: an 8-bit or floating-point frame would reach
// the focus figures on another scale and mislead the focusing silently.
#include <fitsio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kv::indi {

// Larger than any sensor; a header beyond it is a damaged or hostile one.
inline constexpr long kMaxFitsSide = 1L << 20;

struct FitsFrame {
    long width = 0;
    long height = 0;
    std::vector<std::uint16_t> pixels;  // row-major, first file row first
};

// False with `error` set when the bytes are no 16-bit FITS image of at least
// two axes, or its dimensions and the bytes do not add up; the first plane of
// a cube is taken. On success pixels.size() == width * height.
inline bool DecodeFits(const char* data, std::size_t size, FitsFrame& frame, std::string& error) {
    if (data == nullptr || size == 0) {
        error = "the frame is empty";
        return false;
    }
    // cfitsio wants a writable pointer even for reading; the copy keeps the
    // caller's bytes const. It also reads whole 2880-byte records, which a
    // server need not pad its file to: the copy is padded so cfitsio never
    // reads past it (the size check below still counts only what came).
    constexpr std::size_t kRecord = 2880;
    std::vector<char> copy(data, data + size);
    copy.resize((size + kRecord - 1) / kRecord * kRecord, 0);
    void* memory = copy.data();
    std::size_t memorySize = copy.size();
    fitsfile* fits = nullptr;
    int status = 0;
    if (fits_open_memfile(&fits, "frame.fits", READONLY, &memory, &memorySize, 0, nullptr, &status) != 0) {
        error = "the frame is no FITS file";
        return false;
    }
    int bitpix = 0;
    int naxis = 0;
    long dims[3] = {0, 0, 0};
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_img_type(fits, &bitpix, &status);
    fits_get_img_dim(fits, &naxis, &status);
    fits_get_img_size(fits, 3, dims, &status);
    fits_get_hduaddrll(fits, &headStart, &dataStart, &dataEnd, &status);
    bool ok = false;
    // The header's figures are the sender's word: they are checked to add up
    // to the bytes that came, in arithmetic that cannot wrap, before anything
    // is sized or read from them.
    LONGLONG pixels = 0, bytes = 0, end = 0;
    const bool sized = status == 0 && naxis >= 2 && dims[0] > 0 && dims[1] > 0 && dims[0] <= kMaxFitsSide &&
                       dims[1] <= kMaxFitsSide && !__builtin_mul_overflow(LONGLONG{dims[0]}, LONGLONG{dims[1]}, &pixels) &&
                       !__builtin_mul_overflow(pixels, LONGLONG{2}, &bytes) && dataStart >= 0 &&
                       !__builtin_add_overflow(dataStart, bytes, &end);
    if (status == 0 && bitpix != SHORT_IMG) {
        error = bitpix < 0 ? "the frame has floating-point pixels, not 16-bit ones"
                           : "the frame has " + std::to_string(bitpix) + "-bit pixels, not 16-bit ones";
    } else if (status == 0 && (naxis < 2 || dims[0] <= 0 || dims[1] <= 0)) {
        error = "the frame holds no image";
    } else if (status == 0 && !sized) {
        error = "the frame says it is " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                " pixels, more than any camera sends (at most " + std::to_string(kMaxFitsSide) + " a side)";
    } else if (status == 0 && end > static_cast<LONGLONG>(size)) {
        // cfitsio would read on past the end of the bytes it was given.
        error = "the frame is cut short: " + std::to_string(dims[0]) + " x " + std::to_string(dims[1]) +
                " pixels need " + std::to_string(end) + " bytes, " + std::to_string(size) + " came";
    } else if (status == 0) {
        frame.width = dims[0];
        frame.height = dims[1];
        frame.pixels.assign(static_cast<std::size_t>(pixels), 0);
        int anyNull = 0;
        unsigned short nullValue = 0;
        ok = fits_read_img(fits, TUSHORT, 1, pixels, &nullValue, frame.pixels.data(), &anyNull, &status) == 0;
    }
    int closeStatus = 0;
    fits_close_file(fits, &closeStatus);
    if (status != 0) {
        char text[FLEN_STATUS] = {};
        fits_get_errstatus(status, text);
        error = std::string("the frame could not be read: ") + text;
    }
    if (!ok) {
        frame = {};
        return false;
    }
    return true;
}

}  // namespace kv::indi
