#include "batch_core/xmp_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>


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

}  // namespace
}  // namespace morvale
