#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "indi_camera/fits_decode.h"

namespace kv {
namespace {

// A 3 x 2 FITS image of the given type, written to memory as a server would send it.
template <class T>
std::vector<char> Fits(int bitpix, int dataType, std::vector<T> values) {
    std::size_t size = 2880;
    void* memory = std::malloc(size);
    fitsfile* f = nullptr;
    int status = 0;
    long dims[2] = {3, 2};
    fits_create_memfile(&f, &memory, &size, 2880, std::realloc, &status);
    fits_create_img(f, bitpix, 2, dims, &status);
    fits_write_img(f, dataType, 1, 6, values.data(), &status);
    fits_close_file(f, &status);
    EXPECT_EQ(status, 0);
    std::vector<char> bytes(static_cast<char*>(memory), static_cast<char*>(memory) + size);
    std::free(memory);
    return bytes;
}

// A header written by hand, as a damaged or hostile server might send it,
// followed by `data` bytes.
std::vector<char> RawFits(const std::string& naxis1, const std::string& naxis2, std::size_t data) {
    std::string header;
    for (const std::string& card : std::vector<std::string>{"SIMPLE  =                    T", "BITPIX  =                   16",
                                   "NAXIS   =                    2", "NAXIS1  = " + naxis1, "NAXIS2  = " + naxis2, "END"}) {
        header += card + std::string(80 - card.size(), ' ');
    }
    header.resize(2880, ' ');
    header.append(data, '\x01');
    return {header.begin(), header.end()};
}

TEST(FitsDecode, ReadsSixteenBitFramesAndRefusesOthersWithTheReason) {
    // Unsigned 16-bit, as cameras write it (BZERO 32768): the top of the range survives.
    const auto good = Fits<unsigned short>(USHORT_IMG, TUSHORT, {0, 1, 2, 30000, 65535, 7});
    indi::FitsFrame frame;
    std::string error;
    ASSERT_TRUE(indi::DecodeFits(good.data(), good.size(), frame, error)) << error;
    EXPECT_EQ(std::tuple(frame.width, frame.height, frame.pixels),
              std::tuple(3, 2, std::vector<std::uint16_t>{0, 1, 2, 30000, 65535, 7}));

    const auto bytes8 = Fits<unsigned char>(BYTE_IMG, TBYTE, {1, 2, 3, 4, 5, 6});
    const auto floats = Fits<float>(FLOAT_IMG, TFLOAT, {0.5f, 1, 2, 3, 4, 5});
    const std::string text = "SIMPLE? no, a JPEG or an error page";
    // The last two are cut short, at the header's end and inside the pixels'
    // record: the header promises pixels the bytes do not hold.
    for (auto [data, size, why] :
         {std::tuple{bytes8.data(), bytes8.size(), "the frame has 8-bit pixels, not 16-bit ones"},
          {floats.data(), floats.size(), "the frame has floating-point pixels, not 16-bit ones"},
          {text.data(), text.size(), "the frame is no FITS file"},
          {good.data(), std::size_t{2880}, "the frame is cut short: 3 x 2 pixels need 2892 bytes, 2880 came"},
          {good.data(), std::size_t{2891}, "the frame is cut short: 3 x 2 pixels need 2892 bytes, 2891 came"}}) {
        EXPECT_FALSE(indi::DecodeFits(data, size, frame, error));
        EXPECT_EQ(error, why);
        EXPECT_TRUE(frame.pixels.empty());
    }

    // Dimensions whose byte count wraps in 64 bits, or that no camera has,
    // are refused before anything is sized from them.
    struct Case {
        const char* naxis1;
        const char* naxis2;
        std::size_t data;
    };
    for (const Case c : {Case{"4611686018427387905", "4", 8}, Case{"4611686018427387904", "4", 0},
                         Case{"9223372036854775807", "9223372036854775807", 64}, Case{"1048577", "1", 4096}}) {
        const auto bad = RawFits(c.naxis1, c.naxis2, c.data);
        EXPECT_FALSE(indi::DecodeFits(bad.data(), bad.size(), frame, error)) << c.naxis1;
        EXPECT_EQ(error.find("the frame says it is " + std::string(c.naxis1) + " x"), 0U) << error;
        EXPECT_TRUE(frame.pixels.empty());
    }
    const auto small = RawFits("2", "2", 8);
    ASSERT_TRUE(indi::DecodeFits(small.data(), small.size(), frame, error)) << error;
    EXPECT_EQ(frame.pixels.size(), 4U);
}

}  // namespace
}  // namespace kv
