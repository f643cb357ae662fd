#pragma once

// The metadata stripper's decoder-based half: re-encoding image 0 of a file whose metadata cannot
// be rewritten around its encoded data (HEIC, BMP, TGA, EXR, GIF, a JPEG too damaged to walk), and
// the location only a decoder sees. It lives in a module of its own that the stripper loads on
// first use: the imaging library behind it takes about a third of a second and over 100 MB to load,
// which stripping a JPEG, the common case, never needs.
//
// A plain C interface, so that no exception or library type crosses the module's edge. Every
// function is safe from any thread.
extern "C" {

enum MorvalePixelResult {
    morvalePixelWritten = 0,
    morvalePixelUnsupportedType = 1,   // no decoder for the type, or more than one image
    morvalePixelCannotOpenSource = 2,  // unreadable, damaged, or too large to decode
    morvalePixelCannotCreate = 3,      // no encoder for the type
    morvalePixelFailedToWrite = 4,
};

// Decodes image 0 of the file open on `fd` (its decoder picked by the extension of `sourceName`)
// and encodes it in the same format into `outputPath`, with the attributes `option` keeps
// (0: all but the location, 1: colour, structure and orientation, 2: colour and structure) at
// `quality` (0 to 1) where the format is lossy. `knownType` is nonzero when the bytes were
// recognised as an image at all: a file no decoder opens then counts as unreadable rather than
// unsupported. Sets *isJpeg when the output is a JPEG. What the writer cannot encode never reaches
// it: empty text is left out, and metadata too large for a JPEG's segments fails the write.
typedef int (*MorvalePixelReencode)(int fd, const char* sourceName, int knownType, const char* outputPath,
                                    int option, double quality, int* isJpeg);
int morvale_pixel_reencode(int fd, const char* sourceName, int knownType, const char* outputPath, int option,
                           double quality, int* isJpeg);

// 1 when the decoder reports a GPS attribute for the file open on `fd`, else 0.
typedef int (*MorvalePixelHasLocation)(int fd, const char* sourceName);
int morvale_pixel_has_location(int fd, const char* sourceName);
}
