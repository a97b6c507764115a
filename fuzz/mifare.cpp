// MIFARE Classic (blocks, sector data, trailers, values, the older sector functions and their
// AppDataStruct blocks) and Ultralight answers.
#include "harness.h"

namespace kestrel::fuzz {
namespace {

// The transport key of the virtual reader's Classic cards.
constexpr MifareKey kKey = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
// Lengths handed to ReadSectorDataBytes: the library's own block, one short, exact, one over.
constexpr uint32_t kDataLengths[] = {0, 47, 48, 49, 239, 240, 241};

// A sector described by the caller: block count 0 to 16 and first block from the input, with
// buffers of exactly the size the count implies.
SectorExStruct* Sector(Call& c) {
    const uint16_t blocks = c.Pick(17);
    const uint8_t first = c.Byte();
    return c.In(
        SectorExStruct{blocks, first, c.Out(blocks > 0 ? (blocks - 1) * 16 : 0), c.Out(16)});
}

}  // namespace

const Family kMifare = {
    "mifare",
    {
        {"MifC_ReadBlock", [](Call& c) { return MifC_ReadBlock(c.session, c.Byte(), c.Out(16)); }},
        {"MifC_ReadBlockSingle",
         [](Call& c) { return MifC_ReadBlockSingle(c.session, &kKey, c.Byte(), c.Out(16)); }},
        {"ReadBlocksFromSector",
         [](Call& c) {
             const uint8_t sector = c.Byte(), offset = c.Byte(), count = c.Pick(20);
             return ReadBlocksFromSector(c.session, &kKey, c.Copy(4), sector, offset, count,
                                         c.Out(16 * count));
         }},
        {"MifC_ReadSectorDataSingle",
         [](Call& c) {
             const uint8_t sector = c.Byte(), size = c.Byte();
             return MifC_ReadSectorDataSingle(c.session, &kKey, c.Out(size), size, sector);
         }},
        {"MifC_GetSectorTrailerSingle",
         [](Call& c) {
             return MifC_GetSectorTrailerSingle(c.session, &kKey, c.Byte(), c.Out(16));
         }},
        {"MifC_GetSectorTrailerSingle2",
         [](Call& c) {
             return MifC_GetSectorTrailerSingle2(c.session, &kKey, c.Byte(), c.Out(4),
                                                 c.Out<MifareKey>(), c.Out<MifareKey>());
         }},
        {"MifC_CreateValue",
         [](Call& c) {
             const uint8_t block = c.Byte();
             return MifC_CreateValue(c.session, static_cast<int8_t>(c.Byte()), block, &kKey);
         }},
        {"GetValue",
         [](Call& c) { return GetValue(c.session, c.Byte(), &kKey, c.Out<int32_t>()); }},
        {"ReadBlock", [](Call& c) { return ReadBlock(c.session, c.Byte(), &kKey, c.Out(16)); }},
        {"ReadSector", [](Call& c) { return ReadSector(c.session, &kKey, c.Byte(), c.Out(64)); }},
        {"ReadSectorEx", [](Call& c) { return ReadSectorEx(c.session, &kKey, Sector(c)); }},
        {"ReadSectorData",
         [](Call& c) {
             SectorExStruct* sector = Sector(c);
             return ReadSectorData(c.session, &kKey, sector, c.Copy(4));
         }},
        {"ReadSectorBytes",
         [](Call& c) {
             AppDataStruct* out = c.In(AppDataStruct{0, nullptr});
             const int32_t r = ReadSectorBytes(c.session, &kKey, c.Byte(), out);
             if (r != KESTREL_OK) return r;
             if (out->length != 64 && out->length != 256) c.Fail("bad length");
             return FreeAppDataStruct(out);
         }},
        {"ReadSectorDataBytes",
         [](Call& c) {
             const uint8_t sector = c.Byte();
             const uint32_t length = kDataLengths[c.Pick(7)];
             uint8_t* data = length > 0 ? c.Out(length) : nullptr;
             AppDataStruct* inOut = c.In(AppDataStruct{length, data});
             const int32_t r = ReadSectorDataBytes(c.session, &kKey, sector, inOut);
             if (r != KESTREL_OK) return r;
             if (length > 0) {
                 if (inOut->length != length || inOut->data != data) c.Fail("block changed");
                 return r;
             }
             if (inOut->length != 48 && inOut->length != 240) c.Fail("bad length");
             return FreeAppDataStruct(inOut);
         }},
        {"MifU_GetCard", [](Call& c) { return MifU_GetCard(c.session, c.Out(7)); }},
        {"MifU_Read16Bytes",
         [](Call& c) { return MifU_Read16Bytes(c.session, c.Byte(), c.Out(16)); }},
        {"MifU_ReadPage",
         [](Call& c) { return MifU_ReadPage(c.session, c.Byte(), c.Out<uint32_t>()); }},
    },
    {
        {{"classic1k:0A0B0C0D"},
         {{"MifC_CreateValue", {9, 42}}},
         {{"MifC_ReadBlockSingle", {4}},
          {"MifC_ReadBlock", {5}},
          {"ReadBlocksFromSector", {1, 0, 3, 0x0A, 0x0B, 0x0C, 0x0D}},
          {"ReadSectorBytes", {1}},
          {"ReadSectorDataBytes", {2, 0}},
          {"MifC_GetSectorTrailerSingle2", {3}},
          {"GetValue", {9}},
          {"MifC_ReadSectorDataSingle", {0, 48}}}},
        {{"classic4k:01020304"},
         {},
         {{"ReadSectorBytes", {33}},
          {"ReadSectorEx", {16, 128}},
          {"ReadSectorDataBytes", {34, 5}},
          {"ReadSector", {2}},
          {"ReadBlock", {6}},
          {"MifC_GetSectorTrailerSingle", {39}},
          {"ReadSectorData", {4, 8, 0x01, 0x02, 0x03, 0x04}}}},
        {{"ultralight:04A1B2C3D4E5F6"},
         {},
         {{"MifU_GetCard"},
          {"MifU_Read16Bytes", {0}},
          {"MifU_ReadPage", {4}},
          {"MifU_Read16Bytes", {14}}}},
    },
};

}  // namespace kestrel::fuzz
