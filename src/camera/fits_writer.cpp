#include "camera/fits_writer.h"

#include <fitsio.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "camera/image_object.h"

namespace kv {

namespace {

constexpr const char* kWhat = "FITS image";
constexpr std::size_t kRecord = 2880;

// cfitsio's memory file grows through realloc and is ours to free once closed.
struct MemoryFile {
    void* memory = nullptr;
    std::size_t size = 0;
    ~MemoryFile() { std::free(memory); }
};

std::string StatusText(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return text;
}

// The header cards, in the order a reader expects them after the image's own.
void WriteHeader(fitsfile* f, const FitsHeader& h, int& status) {
    const auto text = [&](const char* key, const std::string& value, const char* comment) {
        fits_write_key_str(f, key, value.c_str(), comment, &status);
    };
    const auto whole = [&](const char* key, long long value, const char* comment) {
        fits_write_key_lng(f, key, value, comment, &status);
    };
    // A value that is no number is left out rather than written as "nan",
    // which no reader takes; one too large for a fixed-point card is
    // written with an exponent (cfitsio writes a decimal point in any locale).
    const auto fixed = [&](const char* key, double value, int decimals, const char* comment) {
        if (!std::isfinite(value)) return;
        if (std::fabs(value) < 1e15) {
            fits_write_key_fixdbl(f, key, value, decimals, comment, &status);
        } else {
            fits_write_key_dbl(f, key, value, 15, comment, &status);
        }
    };
    if (h.exposureStart.time_since_epoch().count() != 0) {
        text("DATE-OBS", FitsDate(h.exposureStart), "[UTC] start of the exposure");
    }
    fixed("EXPTIME", h.exposureSeconds, 3, "[s] exposure time");
    whole("XBINNING", h.xBinning, "binning factor across");
    whole("YBINNING", h.yBinning, "binning factor down");
    if (h.focuserPosition) whole("FOCUSPOS", *h.focuserPosition, "[step] focuser position");
    if (h.focuserTemperature) fixed("FOCUSTEM", *h.focuserTemperature, 2, "[degC] focuser temperature");
    if (h.star) {
        fixed("FWHM", h.star->fwhm, 4, "[pixel] star full width at half maximum");
        fixed("HFD", h.star->hfd, 4, "[pixel] star half-flux diameter");
        whole("PEAK", h.star->peak, "[ADU] star brightest pixel");
        // FITS counts pixels from 1.
        whole("STARX", h.star->x + 1LL, "[pixel] star peak column, first is 1");
        whole("STARY", h.star->y + 1LL, "[pixel] star peak row, first is 1");
    }
    if (!h.instrument.empty()) text("INSTRUME", h.instrument, "camera plug-in");
    text("PROGRAM", "Kessivane", "program that saved this frame");
    text("CREATOR", std::string("Kessivane ") + KV_VERSION, "program and version");
}

}  // namespace

bool IsFitsFileName(const std::string& path) {
    const std::size_t dot = path.find_last_of("./");
    if (dot == std::string::npos || path[dot] != '.') return false;
    std::string suffix = path.substr(dot + 1);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return suffix == "fits" || suffix == "fit" || suffix == "fts";
}

std::string FitsDate(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const long long milli = ms - static_cast<long long>(seconds) * 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    // Room for any year the calendar fields can hold, so nothing is ever cut.
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milli));
    return text;
}

WriteResult WriteFitsImage(const std::string& path, std::int32_t width, std::int32_t height,
                           std::span<const std::uint16_t> pixels, const FitsHeader& header) {
    const auto failed = [&](const std::string& reason) {
        return WriteResult{false, "Could not write the " + std::string(kWhat) + " " + path + ": " + reason};
    };
    if (width <= 0 || height <= 0 ||
        pixels.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        return failed("the image is empty");
    }
    // Built in memory: cfitsio reads brackets and other characters in a file
    // name as instructions, and writing in place could leave a half file.
    MemoryFile file;
    file.size = kRecord;
    file.memory = std::malloc(file.size);
    if (file.memory == nullptr) return failed("out of memory");
    fitsfile* f = nullptr;
    int status = 0;
    long dims[2] = {width, height};
    fits_create_memfile(&f, &file.memory, &file.size, kRecord, std::realloc, &status);
    fits_create_img(f, USHORT_IMG, 2, dims, &status);
    WriteHeader(f, header, status);
    // cfitsio converts from the buffer it is given without writing to it.
    fits_write_img(f, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), const_cast<std::uint16_t*>(pixels.data()),
                   &status);
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_flush_file(f, &status);
    fits_get_hduaddrll(f, &headStart, &dataStart, &dataEnd, &status);
    const int written = status;
    if (f != nullptr) {
        int closing = 0;
        fits_close_file(f, &closing);
        if (status == 0) status = closing;
    }
    if (status != 0) return failed(StatusText(written != 0 ? written : status));
    // The memory may have grown past the file: only whole records of it are the file.
    const std::size_t length = (static_cast<std::size_t>(dataEnd) + kRecord - 1) / kRecord * kRecord;
    if (length > file.size) return failed("the file came out shorter than its header says");
    return WriteFileAtomically(path, std::string_view(static_cast<const char*>(file.memory), length), kWhat);
}

WriteResult WriteFitsImage(const std::string& path, TImageObject& image, FitsHeader header) {
    std::vector<std::uint16_t> pixels;
    {
        std::lock_guard lock(image.Lock());
        if (image.NumPixels() > 0) pixels.assign(image.Pixels(), image.Pixels() + image.NumPixels());
        header.exposureSeconds = image.ExposureTime();
        header.exposureStart = image.ExposureStart();
        // Where the focuser stood for this exposure, not where it stands now.
        const TImageObject::FocuserAtExposure focuser = image.FocuserAtStart();
        header.focuserPosition = focuser.position;
        header.focuserTemperature = focuser.temperature;
    }
    return WriteFitsImage(path, image.Width(), image.Height(), pixels, header);
}

}  // namespace kv
