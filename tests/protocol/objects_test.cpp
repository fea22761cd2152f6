#include <gtest/gtest.h>

#include "platform/temp_dir.h"
#include "protocol/bytes.h"
#include "protocol/objects.h"

namespace qd {
namespace {

Bytes Template(uint32_t a, uint32_t b, uint32_t p1, uint32_t p2, std::size_t bodyBytes) {
    Bytes t = ByteWriter().u32(a).u32(b).u32(p1).u32(p2).take();
    t.resize(16 + bodyBytes, 0xEE);
    return t;
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
    const std::pair<std::size_t, Bytes> patches[] = {
        {16, {0xD4, 0xC3, 0xB2, 0xA1}}, {14, {0x88, 0x77}}, {8, {0x88, 0x77}}, {36, {0x88, 0x77}}, {26, {2, 0, 2, 0}}};
    for (const auto& [at, bytes] : patches) std::copy(bytes.begin(), bytes.end(), expected.begin() + long(at));
    EXPECT_EQ(d->body.body, expected);

    // A later patch wins where two meet: the instance at 36 over the type code's low half.
    auto overlap = ParseObjectTemplate(Template(38, 2, 0, 36, 40));
    const Bytes body = BuildObjectDescription(overlap.value(), Tank()).value().body.body;
    EXPECT_EQ(Bytes(body.begin() + 34, body.end()), (Bytes{0x88, 0x77, 0x88, 0x77, 0xB2, 0xA1}));
    o.typeGuid.reset();
    EXPECT_FALSE(BuildObjectDescription(*tmpl, o));  // not in the object database

    // Position and motion: one metre of height offset, pitch and heading in the attitude.
    o.latitude = -1.5, o.longitude = 1.25, o.altitude = 10, o.heightOffset = 3.2808;
    o.staticPitch = 5, o.heading = -90;
    const NetPosition p = MakeObjectPosition(o, 100, 7);
    EXPECT_EQ(p.position, (WirePosition{14u << 22 | 767u << 2, {-1, 0x8000}, {1, 0x4000}, {11, 0}}));
    EXPECT_EQ(MakeObjectMotion(o, 100, 8).position, p.position);
    EXPECT_EQ(MakeObjectMotion(o, 100, 8).velocity, (std::array<uint8_t, 16>{}));
}

TEST(ObjectDescription, RefusesTemplatesThatPutAPatchOutsideTheBodyAndReadsTheFile) {
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

    testing::TempDir dir;
    EXPECT_FALSE(ReadObjectTemplateFile(dir.path(), &error));
    EXPECT_NE(error.find("quarneld/template4.dat"), std::string::npos) << error;
    const Bytes t = Template(40, 24, 44, 16, 64);
    dir.write("quarneld/template4.dat", std::string(t.begin(), t.end()));
    EXPECT_EQ(ReadObjectTemplateFile(dir.path()), t);
}

TEST(DamageEffects, LayoutsPerSimulatorVersion) {
    const auto light1 = BuildDamageEffect(1, DamageEffect::Light, 0x1234)->encode();
    const auto heavy1 = BuildDamageEffect(1, DamageEffect::Heavy, 0)->encode();
    const auto destroyed1 = BuildDamageEffect(1, DamageEffect::Destroyed, 0)->encode();
    const auto light2 = BuildDamageEffect(2, DamageEffect::Light, 0x1234)->encode();
    const auto heavy2 = BuildDamageEffect(2, DamageEffect::Heavy, 0x1234)->encode();
    ASSERT_EQ(light1.size(), 392u);
    ASSERT_EQ(light2.size(), 408u);
    EXPECT_EQ((Bytes(light1.begin(), light1.begin() + 8)), (Bytes{0x04, 0x00, 0x02, 0x00, 0x80, 0x01, 0, 0}));
    EXPECT_EQ((Bytes(light1.begin() + 152, light1.begin() + 160)), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}));
    EXPECT_EQ(ByteReader(ByteSpan(light1).subspan(168)).f64(), 2.015);
    EXPECT_EQ(ByteReader(ByteSpan(light1).subspan(184)).f64(), 1.16);
    const std::tuple<const Bytes&, std::size_t, uint32_t> words[] = {
        {light1, 176, 4},       {light1, 180, 1},       {heavy1, 176, 2},      {heavy1, 180, 4},
        {destroyed1, 20, 1},    {destroyed1, 32, 1},    {light2, 4, 400},      {light2, 8, 0x1234},
        {light2, 12, 0x1FF8F},  {light2, 16, 8},        {light2, 20, 140},     {light2, 68, 10},
        {heavy2, 8, 9078},      {heavy2, 12, 0xFF8F}};
    for (const auto& [bytes, at, value] : words) EXPECT_EQ(GetU32(bytes, at), value) << "offset " << at;
    // Destroyed: two bytes each of type and size, and the two flags; the rest zero.
    EXPECT_EQ(std::count_if(destroyed1.begin(), destroyed1.end(), [](uint8_t b) { return b != 0; }), 6);
    EXPECT_EQ(BuildDamageEffect(1, DamageEffect::Cleared, 0)->payload, Bytes(384, 0));
    EXPECT_EQ(std::string(light2.begin() + 128, light2.begin() + 140), std::string("fx_intsmoke\0", 12));
    EXPECT_EQ(GetU32(heavy2, 16) + GetU32(heavy2, 28) + GetU32(heavy2, 40), 3u);
    EXPECT_FALSE(BuildDamageEffect(2, DamageEffect::Destroyed, 0));
    EXPECT_FALSE(BuildDamageEffect(2, DamageEffect::Cleared, 0));
}

}  // namespace qd
