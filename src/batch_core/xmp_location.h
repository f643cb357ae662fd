#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

// Finds the location an XMP packet carries, by reading its markup rather than parsing it as RDF:
// packets that an RDF parser refuses (duplicate properties, as some phones write them) still have
// to lose their location and keep everything else.
//
// A location property is any element or attribute whose local name begins with "GPS", in any case
// and under any prefix but "xmlns" (exif:GPSLatitude, exif:GPSTimeStamp, drone-dji:GpsLatitude ...).
// Markup that breaks off (an unclosed tag, comment or quote) is taken as location from there to the
// end when anything after it names GPS, since no reader can be trusted to skip it.
//
// Pure functions; safe from any thread.
namespace morvale::xmp_location {

// Half-open byte ranges of the packet that hold location, in order, not overlapping. An attribute's
// range takes the blank before it; an element's runs from its start tag through its end tag.
std::vector<std::pair<std::size_t, std::size_t>> ranges(std::string_view packet);

inline bool present(std::string_view packet) { return !ranges(packet).empty(); }

// Overwrites every location range with spaces, so the packet keeps its size (whitespace between
// XMP properties and inside tags means nothing) and any offsets into it stay right. Returns
// whether anything was blanked.
bool blank(char* packet, std::size_t size);

}  // namespace morvale::xmp_location
