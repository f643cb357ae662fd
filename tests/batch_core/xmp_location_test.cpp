#include "batch_core/xmp_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch_core/md5.h"

namespace morvale {
namespace {

TEST(XmpLocationTest, BlanksLocationPropertiesAndKeepsTheRest) {
    struct Case {
        const char* what;
        std::string packet;
        bool located;
        std::vector<std::string> kept;  // must survive blanking
    };
    const std::vector<Case> cases{
        {"attribute", R"(<rdf:Description exif:GPSLatitude="59,19N" dc:format="image/jpeg"/>)", true, {R"(dc:format="image/jpeg")"}},
        {"element", "<d><exif:GPSLatitude>59,19N</exif:GPSLatitude><tiff:Make>K</tiff:Make></d>", true, {"<tiff:Make>K</tiff:Make>"}},
        {"inside a structure", "<e:LocationShown><rdf:Bag><rdf:li rdf:parseType=\"Resource\"><exif:GPSLongitude>18E"
                               "</exif:GPSLongitude><e:City>Lunvik</e:City></rdf:li></rdf:Bag></e:LocationShown>",
         true, {"<e:City>Lunvik</e:City>", "</rdf:li></rdf:Bag></e:LocationShown>"}},
        {"element holding a sequence", "<exif:GPSTimeStamp><rdf:Seq><rdf:li>1</rdf:li></rdf:Seq></exif:GPSTimeStamp><a:b/>",
         true, {"<a:b/>"}},
        {"any prefix, any case", R"(<d drone-dji:GpsLatitude="59.3" drone-dji:FlightYawDegree="4"/>)", true, {R"(drone-dji:FlightYawDegree="4")"}},
        {"quoted > before the location", R"(<d a:note="x>y" exif:GPSAltitude="12"/>)", true, {R"(a:note="x>y")"}},
        {"duplicate properties", "<d><tiff:Model>g</tiff:Model><tiff:Model>g</tiff:Model><exif:GPSAltitude>1</exif:GPSAltitude></d>",
         true, {"<tiff:Model>g</tiff:Model><tiff:Model>g</tiff:Model>"}},
        {"unclosed tag", R"(<d a:b="1"/><d exif:GPSLatitude="59)", true, {R"(<d a:b="1"/>)"}},
        {"namespace declaration", R"(<d xmlns:gpsx="http://example.com/" a:b="1"/>)", false, {}},
        {"comment", "<!-- <exif:GPSLatitude>59</exif:GPSLatitude> --><d/>", false, {}},
        {"GPS in a value", "<dc:title>GPS on the roof</dc:title>", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(xmp_location::present(c.packet), c.located);
        std::string blanked = c.packet;
        EXPECT_EQ(xmp_location::blank(blanked.data(), blanked.size()), c.located);
        EXPECT_EQ(blanked.size(), c.packet.size());
        EXPECT_FALSE(xmp_location::present(blanked)) << blanked;
        EXPECT_EQ(blanked.find("GPS"), c.located ? std::string::npos : c.packet.find("GPS")) << blanked;
        for (const auto& kept : c.kept) EXPECT_NE(blanked.find(kept), std::string::npos) << kept << " in " << blanked;
    }
}

TEST(XmpLocationTest, ExtendedPacketGuidIsTheMd5OfItsContent) {
    // RFC 1321's test suite, across the one- and two-block tails.
    const std::vector<std::pair<std::string, std::string>> vectors{
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& [text, hex] : vectors) EXPECT_EQ(md5::upperHex(text), hex) << text;
}

}  // namespace
}  // namespace morvale
