#!/usr/bin/env python3
"""Makes the photos the metadata-stripper tests and benchmark work on.

  tagged_photo.py jpeg OUT [WIDTH HEIGHT QUALITY NOISE]
      a JPEG with an sRGB ICC profile, tagged by exiftool with camera, capture time, orientation 6,
      copyright, artist, a GPS IFD, XMP-exif GPS, IPTC City and an IFD1 thumbnail
  tagged_photo.py tiff2 OUT    a two-page TIFF with a GPS IFD
  tagged_photo.py bmp OUT      a 24-bit BMP
  tagged_photo.py gif2 OUT     a two-frame GIF
"""
import io
import os
import subprocess
import sys

from PIL import Image, ImageCms


def picture(width, height, noise):
    red = Image.linear_gradient("L").resize((width, height))
    green = Image.radial_gradient("L").resize((width, height))
    blue = Image.effect_noise((width, height), noise) if noise > 0 else red.transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    return Image.merge("RGB", (red, green, blue))


def exiftool(path, *tags):
    subprocess.run(["exiftool", "-q", "-overwrite_original", *tags, path], check=True)


GPS = ["-GPSLatitude=48.8584", "-GPSLatitudeRef=N", "-GPSLongitude=2.2945", "-GPSLongitudeRef=E"]


def main():
    kind, out = sys.argv[1], sys.argv[2]
    if kind == "jpeg":
        width, height, quality, noise = (int(v) for v in (sys.argv[3:7] or (4000, 3000, 90, 0)))
        icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
        picture(width, height, noise).save(out, "JPEG", quality=quality, icc_profile=icc)
        thumb = io.BytesIO()
        picture(160, 120, 0).save(thumb, "JPEG", quality=80)
        thumb_path = out + ".thumb.jpg"
        with open(thumb_path, "wb") as f:
            f.write(thumb.getvalue())
        try:
            exiftool(out, "-Make=Kadrel", "-Model=Halden K7", "-DateTimeOriginal=2024:05:06 07:08:09",
                     "-Orientation#=6", "-Copyright=(c) Ilse Varn", "-Artist=Ilse Varn", *GPS,
                     "-XMP-exif:GPSLatitude=48.8584 N", "-XMP-exif:GPSLongitude=2.2945 E",
                     "-IPTC:City=Lunvik", "-ThumbnailImage<=" + thumb_path)
        finally:
            os.remove(thumb_path)
    elif kind == "tiff2":
        first, second = picture(64, 48, 0), picture(32, 24, 0).rotate(90)
        first.save(out, "TIFF", save_all=True, append_images=[second])
        exiftool(out, "-Model=Halden K7", *GPS)
    elif kind == "bmp":
        picture(64, 48, 0).save(out, "BMP")
    elif kind == "gif2":
        frames = [picture(64, 48, 0).convert("P"), picture(64, 48, 0).rotate(180).convert("P")]
        frames[0].save(out, "GIF", save_all=True, append_images=frames[1:])
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main()
