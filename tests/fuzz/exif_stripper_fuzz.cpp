// libFuzzer target: the metadata stripper over JPEGs, the format the listing photos are written in.
//
// Oracle: each input is stripped with every option. Whatever the bytes, each strip either throws
// EXIFError and writes nothing, or writes a file in which neither the stripper's own check nor
// exiv2 finds a location, and, under the two stricter options, in which exiv2 finds no metadata but
// the orientation, copyright and artist. The source is never changed. (The first byte picks the
// file's extension from a list of one, so it is free.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "base/exif/exiv2_session.h"
#include "batch_core/exif_stripper.h"
#include "fuzz_input_file.h"

namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool allowedAfterStricter(const std::string& key, morvale::EXIFStripper::StripOption option) {
    return option == morvale::EXIFStripper::StripOption::stripAllExifExceptOrientation &&
           (key == "Exif.Image.Orientation" || key == "Exif.Image.Copyright" || key == "Exif.Image.Artist");
}

// Aborts unless stripping `source` with `option` into `destination` fails cleanly or leaves only
// what the option keeps.
void checkStrip(const std::filesystem::path& source, const std::filesystem::path& destination,
                morvale::EXIFStripper::StripOption option) {
    using morvale::EXIFStripper;
    std::filesystem::remove(destination);
    const EXIFStripper stripper;
    try {
        stripper.stripMetadata(source, destination, option, 0.92);
    } catch (const EXIFStripper::EXIFError&) {
        if (std::filesystem::exists(destination)) std::abort();
        return;
    }
    if (stripper.containsGPS(destination)) std::abort();

    morvale::exiv2_session::ensureInitialized();
    const std::string after = contents(destination);
    std::unique_ptr<Exiv2::Image> image;
    try {
        image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(after.data()), static_cast<long>(after.size()));
        image->readMetadata();
    } catch (const std::exception&) {
        return;  // what exiv2 cannot read, it cannot find a location in either
    }
    for (const auto& datum : image->exifData()) {
        if (morvale::exiv2_session::isGPSKey(datum.key())) std::abort();
        if (option != EXIFStripper::StripOption::stripGPSOnly && !allowedAfterStricter(datum.key(), option)) std::abort();
    }
    for (const auto& datum : image->xmpData()) {
        if (morvale::exiv2_session::isGPSKey(datum.key())) std::abort();
        if (option != EXIFStripper::StripOption::stripGPSOnly) std::abort();
    }
    if (option != EXIFStripper::StripOption::stripGPSOnly && !image->iptcData().empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Option = morvale::EXIFStripper::StripOption;
    const auto source = morvale::fuzz::writeInput(data, size, {"jpg"});
    const std::string before = contents(source);
    for (const auto option : {Option::stripGPSOnly, Option::stripAllExifExceptOrientation, Option::stripEverything}) {
        checkStrip(source, source.parent_path() / "stripped.jpg", option);
        if (contents(source) != before) std::abort();
    }
    return 0;
}
