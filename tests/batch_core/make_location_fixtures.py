#!/usr/bin/python3
"""Builds the photos the metadata stripper is checked on, in OUTDIR.

  make_location_fixtures.py OUTDIR

Real camera and phone JPEGs from Debian's golang-github-rwcarlsen-goexif-dev (Nikon D2H with
Photoshop resources, XMP and GPS; iPhone 4S with orientation 6, maker notes, XMP and GPS; HTC One M8
with GPS; an orientation-6 file without location), plus constructed files for the places a location
hides: extended XMP split across segments, a second EXIF segment after the quantisation tables, a
thumbnail carrying its own GPS, Photoshop IPTC resources with a preview, an XMP packet with
duplicate properties that exiv2 refuses, an image appended after the main one, and a photo with
an ICC profile, IPTC, XMP and a GPS IFD. Prints one file name per line.
"""
import hashlib
import io
import os
import shutil
import subprocess
import sys

from PIL import Image, ImageCms

GOEXIF = "/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif"
REAL = {
    "nikon_d2h.jpg": "sample1.jpg",
    "iphone_4s_orientation6.jpg": "samples/has-lens-info.jpg",
    "htc_one_m8.jpg": "samples/geodegrees_as_string.jpg",
    "orientation6_no_location.jpg": "samples/f6-exif.jpg",
}
GPS = ["-GPSLatitude=59.3325", "-GPSLatitudeRef=N", "-GPSLongitude=18.0649", "-GPSLongitudeRef=E",
       "-GPSAltitude=12", "-GPSDateStamp=2024:05:06", "-GPSTimeStamp=07:08:09"]


def exiftool(path, *tags):
    subprocess.run(["exiftool", "-q", "-q", "-overwrite_original", *tags, path], check=True)


def plain_jpeg(width=320, height=240, seed=0, **options):
    picture = Image.merge("RGB", (Image.linear_gradient("L").resize((width, height)),
                                  Image.radial_gradient("L").resize((width, height)),
                                  Image.effect_noise((width, height), 40 + seed)))
    out = io.BytesIO()
    picture.save(out, "JPEG", quality=88, **options)
    return out.getvalue()


def segment(marker, payload):
    assert len(payload) + 2 <= 0xFFFF
    return bytes([0xFF, marker]) + (len(payload) + 2).to_bytes(2, "big") + payload


def segments(jpeg):
    """(marker, start, end) of every segment before the first scan."""
    at, found = 2, []
    while jpeg[at] == 0xFF:
        marker = jpeg[at + 1]
        length = int.from_bytes(jpeg[at + 2:at + 4], "big")
        found.append((marker, at, at + 2 + length))
        if marker == 0xDA:
            break
        at += 2 + length
    return found


def insert_after(jpeg, marker, new):
    """Puts `new` after the last segment with `marker` (after SOI when there is none)."""
    end = 2
    for m, _, stop in segments(jpeg):
        if m == marker:
            end = stop
    return jpeg[:end] + new + jpeg[end:]


def exif_segment_of(jpeg):
    for marker, start, end in segments(jpeg):
        if marker == 0xE1 and jpeg[start + 4:start + 10] == b"Exif\0\0":
            return jpeg[start:end]
    raise ValueError("no EXIF segment")


def located_jpeg(tmp, name, *extra):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(plain_jpeg(160, 120, 3))
    exiftool(path, "-Model=Halden K7", *GPS, *extra)
    with open(path, "rb") as f:
        return f.read()


def xmp_packet(body):
    return ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
            '<x:xmpmeta xmlns:x="adobe:ns:meta/">\n'
            '<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
            + body + '\n</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end="w"?>').encode()


XMP_SIGNATURE = b"http://ns.adobe.com/xap/1.0/\0"
EXTENDED_SIGNATURE = b"http://ns.adobe.com/xmp/extension/\0"


def extended_xmp(out):
    extended = xmp_packet(
        '<rdf:Description rdf:about="" xmlns:GDepth="http://ns.google.com/photos/1.0/depthmap/"'
        ' xmlns:exif="http://ns.adobe.com/exif/1.0/" GDepth:Mime="image/png"'
        ' GDepth:Data="' + "QUJD" * 15000 + '">\n'
        '<exif:GPSLatitude>59,19.95N</exif:GPSLatitude>\n'
        '<exif:GPSLongitude>18,3.894E</exif:GPSLongitude>\n'
        '</rdf:Description>')
    guid = hashlib.md5(extended).hexdigest().upper().encode()
    main = xmp_packet('<rdf:Description rdf:about="" xmlns:xmpNote="http://ns.adobe.com/xmp/note/"'
                      ' xmlns:dc="http://purl.org/dc/elements/1.1/" xmpNote:HasExtendedXMP="'
                      + guid.decode() + '">\n<dc:format>image/jpeg</dc:format>\n</rdf:Description>')
    # The second chunk starts inside the name "GPSLatitude", as a reader that looks at one chunk
    # at a time would miss it.
    split = extended.index(b"GPSLatitude") + 3
    chunks = b""
    for offset, piece in ((0, extended[:split]), (split, extended[split:])):
        chunks += segment(0xE1, EXTENDED_SIGNATURE + guid + len(extended).to_bytes(4, "big")
                          + offset.to_bytes(4, "big") + piece)
    with open(out, "wb") as f:
        f.write(insert_after(plain_jpeg(seed=1), 0xE0, segment(0xE1, XMP_SIGNATURE + main) + chunks))


def second_exif(tmp, out):
    first = Image.Exif()
    first[0x010F] = "Kadrel"
    jpeg = plain_jpeg(seed=2, exif=first.tobytes())
    located = exif_segment_of(located_jpeg(tmp, "second.jpg"))
    with open(out, "wb") as f:
        f.write(insert_after(jpeg, 0xDB, located))


def thumbnail_gps(tmp, out):
    thumb = os.path.join(tmp, "thumb.jpg")
    with open(thumb, "wb") as f:
        f.write(located_jpeg(tmp, "thumb-src.jpg"))
    with open(out, "wb") as f:
        f.write(plain_jpeg(seed=4))
    exiftool(out, "-Make=Kadrel", "-Model=Halden K7", "-ThumbnailImage<=" + thumb)


def photoshop_iptc(tmp, out):
    preview = os.path.join(tmp, "preview.jpg")
    with open(preview, "wb") as f:
        f.write(plain_jpeg(128, 96, 5))
    with open(out, "wb") as f:
        f.write(plain_jpeg(seed=6))
    exiftool(out, "-IPTC:City=Lunvik", "-IPTC:Keywords=harbour", "-IPTC:By-line=Ilse Varn",
             "-IPTC:Sub-location=12 Harbour Row", "-PhotoshopThumbnail<=" + preview, *GPS)


def duplicate_xmp(out):
    # What a phone writes: the same properties twice, and the location among forty others.
    props = "".join(f"<xmpMM:Note{i}>value {i}</xmpMM:Note{i}>\n" for i in range(40))
    body = ('<rdf:Description rdf:about="" xmlns:xmpMM="http://ns.adobe.com/xap/1.0/mm/"'
            ' xmlns:exif="http://ns.adobe.com/exif/1.0/" xmlns:tiff="http://ns.adobe.com/tiff/1.0/"'
            ' exif:GPSLatitude="59,19.95N" tiff:Make="Motorola">\n'
            '<tiff:Model>moto g</tiff:Model>\n<tiff:Model>moto g</tiff:Model>\n' + props +
            '<exif:GPSLongitude>18,3.894E</exif:GPSLongitude>\n'
            '<exif:GPSAltitude>12/1</exif:GPSAltitude>\n'
            '</rdf:Description>')
    with open(out, "wb") as f:
        f.write(insert_after(plain_jpeg(seed=7), 0xE0, segment(0xE1, XMP_SIGNATURE + xmp_packet(body))))


def appended(tmp, out):
    with open(out, "wb") as f:
        f.write(plain_jpeg(seed=8) + located_jpeg(tmp, "appended.jpg"))


def icc_tagged(tmp, out):
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    thumb = os.path.join(tmp, "plain-thumb.jpg")
    with open(thumb, "wb") as f:
        f.write(plain_jpeg(160, 120, 9))
    with open(out, "wb") as f:
        f.write(plain_jpeg(seed=10, icc_profile=icc))
    exiftool(out, "-Make=Kadrel", "-Model=Halden K7", "-Orientation#=6", "-Copyright=(c) Ilse Varn",
             "-Artist=Ilse Varn", *GPS, "-XMP-exif:GPSLatitude=59.3325 N", "-IPTC:City=Lunvik",
             "-ThumbnailImage<=" + thumb, "-Comment=Harbour Row")


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    tmp = os.path.join(outdir, ".work")
    os.makedirs(tmp, exist_ok=True)
    made = []
    for name, source in REAL.items():
        shutil.copyfile(os.path.join(GOEXIF, source), os.path.join(outdir, name))
        made.append(name)
    for name, build in (("extended_xmp_gps.jpg", lambda p: extended_xmp(p)),
                        ("second_exif_gps.jpg", lambda p: second_exif(tmp, p)),
                        ("thumbnail_gps.jpg", lambda p: thumbnail_gps(tmp, p)),
                        ("photoshop_iptc.jpg", lambda p: photoshop_iptc(tmp, p)),
                        ("duplicate_xmp_gps.jpg", lambda p: duplicate_xmp(p)),
                        ("appended_gps.jpg", lambda p: appended(tmp, p)),
                        ("icc_tagged.jpg", lambda p: icc_tagged(tmp, p))):
        build(os.path.join(outdir, name))
        made.append(name)
    shutil.rmtree(tmp)
    print("\n".join(made))


if __name__ == "__main__":
    main()
