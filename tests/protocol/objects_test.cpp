#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "protocol/bytes.h"
#include "protocol/objects.h"

namespace qd {
namespace {

Bytes Template(uint32_t a, uint32_t b, uint32_t p1, uint32_t p2, std::size_t bodyBytes) {
    ByteWriter w;
    w.u32(a).u32(b).u32(p1).u32(p2);
    for (std::size_t i = 0; i < bodyBytes; ++i) w.u8(0xEE);
    return w.take();
}

TargetObject Tank() {
    TargetObject o;
    o.playerId = 0x1234;
    o.aircraft = "Tank";
    o.typeGuid = std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    o.typeCode = 0xA1B2C3D4;
    o.instanceNumber = 0x00057788;
    return o;
}

double F64At(const Bytes& b, std::size_t at) {
    ByteReader r(ByteSpan(b).subspan(at));
    return r.f64();
}

}  // namespace

TEST(ObjectDescription, PatchesTheTemplateBodyInOrder) {
    auto tmpl = ParseObjectTemplate(Template(40, 24, 44, 16, 64 + 5));  // extra file bytes are ignored
    ASSERT_TRUE(tmpl);
    TargetObject o = Tank();
    o.isAirfield = 1;
    auto d = BuildObjectDescription(*tmpl, o);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->header, (NetObjectHeader{40, 24, 0x00057788, "Tank"}));

    Bytes expected(64, 0xEE);
    for (int i = 0; i < 16; ++i) expected[44 + i] = uint8_t(i + 1);
    const Bytes code = {0xD4, 0xC3, 0xB2, 0xA1}, inst = {0x88, 0x77}, airfield = {0x02, 0x00, 0x02, 0x00};
    std::copy(code.begin(), code.end(), expected.begin() + 16);
    for (std::size_t at : {14u, 8u, 36u}) std::copy(inst.begin(), inst.end(), expected.begin() + at);
    std::copy(airfield.begin(), airfield.end(), expected.begin() + 26);
    EXPECT_EQ(d->body.body, expected);
    EXPECT_EQ(d->body.encode().size(), 64u + 17);

    // A later patch wins where two meet: the instance at 36 over the type code's low half.
    auto overlap = ParseObjectTemplate(Template(38, 2, 0, 36, 40));
    ASSERT_TRUE(overlap);
    auto d2 = BuildObjectDescription(*overlap, Tank());
    ASSERT_TRUE(d2);
    EXPECT_EQ(Bytes(d2->body.body.begin() + 34, d2->body.body.end()), (Bytes{0x88, 0x77, 0x88, 0x77, 0xB2, 0xA1}));

    TargetObject unknown = Tank();
    unknown.typeGuid.reset();
    EXPECT_FALSE(BuildObjectDescription(*tmpl, unknown));  // not in the object database
}

TEST(ObjectDescription, RefusesTemplatesThatPutAPatchOutsideTheBody) {
    std::string error;
    EXPECT_FALSE(ParseObjectTemplate(Template(40, 24, 49, 16, 64), &error));
    EXPECT_NE(error.find("type identifier offset 49"), std::string::npos) << error;
    EXPECT_FALSE(ParseObjectTemplate(Template(40, 24, 0, 61, 64), &error));
    EXPECT_FALSE(ParseObjectTemplate(Template(40, 24, 0, 1, 64), &error));  // instance would go before the body
    EXPECT_FALSE(ParseObjectTemplate(Template(40, 24, 0, 16, 63), &error));  // body longer than the file
    EXPECT_NE(error.find("only 63"), std::string::npos) << error;
    EXPECT_FALSE(ParseObjectTemplate(Template(0xFFFFFFFFu, 2, 0, 16, 64)));  // A + B past 32 bits
    EXPECT_FALSE(ParseObjectTemplate(Template(30, 7, 0, 16, 37)));            // no room for the field at 36
    EXPECT_FALSE(ParseObjectTemplate(Bytes(15, 0)));
    EXPECT_TRUE(ParseObjectTemplate(Template(30, 8, 22, 34, 38)));  // every patch exactly at the end
}

TEST(ObjectDescription, TemplateFileUnderTheWorkingDirectory) {
    const auto dir = std::filesystem::path(QUARNELD_BINARY_DIR) / "protocol_template_test";
    std::filesystem::remove_all(dir);
    std::string error;
    EXPECT_FALSE(ReadObjectTemplateFile(dir, &error));
    EXPECT_NE(error.find("quarneld/template4.dat"), std::string::npos) << error;
    std::filesystem::create_directories(dir / "quarneld");
    const Bytes t = Template(40, 24, 44, 16, 64);
    std::ofstream(dir / "quarneld" / "template4.dat", std::ios::binary)
        .write(reinterpret_cast<const char*>(t.data()), std::streamsize(t.size()));
    EXPECT_EQ(ReadObjectTemplateFile(dir), t);
    std::filesystem::remove_all(dir);
}

TEST(DamageEffects, LayoutsPerSimulatorVersion) {
    const auto light1 = BuildDamageEffect(1, DamageEffect::Light, 0x1234)->encode();
    ASSERT_EQ(light1.size(), 392u);
    EXPECT_EQ((Bytes(light1.begin(), light1.begin() + 8)), (Bytes{0x04, 0x00, 0x02, 0x00, 0x80, 0x01, 0, 0}));
    EXPECT_EQ((Bytes(light1.begin() + 152, light1.begin() + 160)), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}));
    EXPECT_EQ(F64At(light1, 168), 2.015);
    EXPECT_EQ(F64At(light1, 184), 1.16);
    EXPECT_EQ(GetU32(light1, 176), 4u);
    EXPECT_EQ(GetU32(light1, 180), 1u);
    const auto heavy1 = BuildDamageEffect(1, DamageEffect::Heavy, 0)->encode();
    EXPECT_EQ(GetU32(heavy1, 176), 2u);
    EXPECT_EQ(GetU32(heavy1, 180), 4u);
    const auto destroyed1 = BuildDamageEffect(1, DamageEffect::Destroyed, 0)->encode();
    std::size_t nonZero = 0;
    for (uint8_t b : destroyed1) nonZero += b != 0;
    EXPECT_EQ(nonZero, 2u + 2u + 2u);  // two bytes each of type and size, and the two flags
    EXPECT_EQ(GetU32(destroyed1, 20), 1u);
    EXPECT_EQ(GetU32(destroyed1, 32), 1u);
    EXPECT_EQ(BuildDamageEffect(1, DamageEffect::Cleared, 0)->payload, Bytes(384, 0));

    const auto light2 = BuildDamageEffect(2, DamageEffect::Light, 0x1234)->encode();
    ASSERT_EQ(light2.size(), 408u);
    EXPECT_EQ(GetU32(light2, 4), 400u);
    EXPECT_EQ(GetU32(light2, 8), 0x1234u);
    EXPECT_EQ(GetU32(light2, 12), 0x1FF8Fu);
    EXPECT_EQ(GetU32(light2, 16), 8u);
    EXPECT_EQ(GetU32(light2, 20), 140u);
    EXPECT_EQ(GetU32(light2, 68), 10u);
    EXPECT_EQ(std::string(light2.begin() + 128, light2.begin() + 140), std::string("fx_intsmoke\0", 12));
    const auto heavy2 = BuildDamageEffect(2, DamageEffect::Heavy, 0x1234)->encode();
    EXPECT_EQ(GetU32(heavy2, 8), 9078u);
    EXPECT_EQ(GetU32(heavy2, 12), 0xFF8Fu);
    EXPECT_EQ(GetU32(heavy2, 16) + GetU32(heavy2, 28) + GetU32(heavy2, 40), 3u);
    EXPECT_FALSE(BuildDamageEffect(2, DamageEffect::Destroyed, 0));
    EXPECT_FALSE(BuildDamageEffect(2, DamageEffect::Cleared, 0));
}

TEST(ObjectPosition, HeightOffsetPitchAndHeading) {
    TargetObject o = Tank();
    o.latitude = -1.5;
    o.longitude = 1.25;
    o.altitude = 10;
    o.heightOffset = 3.2808;  // one metre
    o.staticPitch = 5;
    o.heading = -90;
    const NetPosition p = MakeObjectPosition(o, 100, 7);
    EXPECT_EQ(p.position.altitude, (SplitValue{11, 0}));
    EXPECT_EQ(p.position.latitude, (SplitValue{-1, 0x8000}));
    EXPECT_EQ(p.position.attitude, 14u << 22 | 767u << 2);
    const NetMotion m = MakeObjectMotion(o, 100, 8);
    EXPECT_EQ(m.position, p.position);
    EXPECT_EQ(m.velocity, (std::array<uint8_t, 16>{}));
}

}  // namespace qd
