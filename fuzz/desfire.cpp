// DESFire: the continuation loop, unprotecting MACed and enciphered answers, and the answers
// of GetVersion, the application and file lists, file settings, values and records.
#include <cstring>

#include "harness.h"

namespace kestrel::fuzz {
namespace {

// Communication modes, the three of the cards first, then one the library refuses.
constexpr int32_t kModes[] = {DF_COMM_PLAIN, DF_COMM_MACED, DF_COMM_ENCIPHERED, 2};
// Every key of the virtual card's applications, and every right given to key 0.
constexpr uint8_t kZeroKey[DF_KEY_LENGTH] = {};
constexpr uint8_t kKeyZeroRights[4] = {0, 0, 0, 0};

// The session key of the last successful authentication of this input (zeros before one), so
// that an input can authenticate and then read protected data.
uint8_t sessionKey[DF_KEY_LENGTH];

int32_t Mode(Call& c) {
    return kModes[c.Pick(4)];
}
uint32_t Aid(Call& c) {
    const uint32_t low = c.U16();
    return low | uint32_t{c.Byte()} << 16;
}
uint8_t KeepGoing(uintptr_t, uint32_t) {
    return 1;
}

// A context as an application that activated the card itself makes it.
void Prepare(KestrelSession* session) {
    std::memset(sessionKey, 0, sizeof sessionKey);
    DF_InitData(session);
    DF_SetFrameSize(session, 16);
}

}  // namespace

const Family kDesfire = {
    "desfire",
    {
        {"DF_Connect", [](Call& c) { return DF_Connect(c.session); }},
        {"DF_SetFrameSize", [](Call& c) { return DF_SetFrameSize(c.session, c.Byte()); }},
        {"DF_SendNativeCMD",
         [](Call& c) {
             const uint16_t capacity = c.U16() % 400;
             const Bytes command = c.Message(64);
             uint16_t* length = c.In(capacity);
             const int32_t r =
                 DF_SendNativeCMD(c.session, command.data(), static_cast<uint32_t>(command.size()),
                                  c.Out(capacity), length, 0);
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
        {"DF_SendNativeCMDEx",
         [](Call& c) {
             const uint16_t capacity = c.U16() % 400;
             const Bytes command = c.Message(64);
             return DF_SendNativeCMDEx(c.session, command.data(),
                                       static_cast<uint32_t>(command.size()), c.Out(capacity),
                                       c.In(capacity));
         }},
        {"DF_Ping", [](Call& c) { return DF_Ping(c.session); }},
        {"DF_AuthKey",
         [](Call& c) {
             const uint8_t keyNumber = c.Byte();
             uint8_t* key = c.Out(DF_KEY_LENGTH);
             const int32_t r = DF_AuthKey(c.session, keyNumber, kZeroKey, key);
             if (r == KESTREL_OK) std::memcpy(sessionKey, key, DF_KEY_LENGTH);
             return r;
         }},
        {"DF_ChangeKeySettings",
         [](Call& c) { return DF_ChangeKeySettings(c.session, c.Byte(), sessionKey); }},
        {"DF_GetKeySettings",
         [](Call& c) { return DF_GetKeySettings(c.session, c.Out(), c.Out()); }},
        {"DF_GetKeyVersion",
         [](Call& c) { return DF_GetKeyVersion(c.session, c.Byte(), c.Out()); }},
        {"DF_GetVersion",
         [](Call& c) {
             const uint8_t capacity = c.Byte();
             return DF_GetVersion(c.session, c.Out(capacity), c.In<uint16_t>(capacity));
         }},
        {"DF_GetVersionI", [](Call& c) { return DF_GetVersionI(c.session, c.Out(28)); }},
        {"DF_ListApps",
         [](Call& c) {
             const uint8_t capacity = c.Pick(40);
             return DF_ListApps(c.session, c.Out<uint32_t>(capacity), c.In<uint16_t>(capacity));
         }},
        {"DF_EnumApps", [](Call& c) { return DF_EnumApps(c.session, 0, KeepGoing); }},
        {"DF_SelectApp", [](Call& c) { return DF_SelectApp(c.session, Aid(c)); }},
        {"DF_CreateApp",
         [](Call& c) {
             const uint32_t aid = Aid(c);
             const uint8_t settings = c.Byte(), keys = c.Byte();
             return DF_CreateApp(c.session, aid, settings, keys);
         }},
        {"DF_CreateStdFile",
         [](Call& c) {
             const uint8_t file = c.Byte(), comm = c.Byte(), size = c.Byte();
             return DF_CreateStdFile(c.session, file, comm, kKeyZeroRights, size);
         }},
        {"DF_CreateValueFile",
         [](Call& c) {
             const uint8_t file = c.Byte(), comm = c.Byte();
             return DF_CreateValueFile(c.session, file, comm, kKeyZeroRights, 0, 100000, 1234, 1);
         }},
        {"DF_CreateRecordFile",
         [](Call& c) {
             const uint8_t file = c.Byte(), comm = c.Byte(), size = c.Byte(), count = c.Byte();
             return DF_CreateRecordFile(c.session, file, comm, kKeyZeroRights, size, count, 0);
         }},
        {"DF_WriteData",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             const uint8_t offset = c.Byte(), length = c.Byte();
             return DF_WriteData(c.session, file, mode, offset, length, c.Out(length), sessionKey);
         }},
        {"DF_WriteRecord",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             const uint8_t length = c.Byte();
             return DF_WriteRecord(c.session, file, mode, 0, length, c.Out(length), sessionKey);
         }},
        {"DF_Commit", [](Call& c) { return DF_Commit(c.session); }},
        {"DF_GetFileIDs", [](Call& c) { return DF_GetFileIDs(c.session, c.Out(), c.Out(16)); }},
        {"DF_GetFileSettings",
         [](Call& c) {
             return DF_GetFileSettings(c.session, c.Byte(), c.Out(), c.Out(), c.Out(4), c.Out(),
                                       c.Out(13));
         }},
        {"DF_ChangeFileSettings",
         [](Call& c) {
             const uint8_t file = c.Byte(), comm = c.Byte();
             return DF_ChangeFileSettings(c.session, file, comm, kKeyZeroRights, sessionKey);
         }},
        {"DF_ReadData",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             const uint8_t offset = c.Byte(), capacity = c.Byte();
             return DF_ReadData(c.session, file, mode, offset, c.In<uint32_t>(capacity),
                                c.Out(capacity), sessionKey);
         }},
        {"DF_GetValue",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             return DF_GetValue(c.session, file, mode, c.Out<uint32_t>(), sessionKey);
         }},
        // A count of 0 trusts the card with the buffer's size: only counts from 1 on here;
        // DF_ReadRecordsEx below takes every count with a capacity.
        {"DF_ReadRecords",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             const uint8_t offset = c.Byte();
             const uint8_t count = 1 + c.Pick(8), recordSize = c.Byte();
             uint32_t* counted = c.In<uint32_t>(count);
             const int32_t r = DF_ReadRecords(c.session, file, mode, offset, counted,
                                              c.Out(count * recordSize), recordSize, sessionKey);
             if (r == KESTREL_OK) c.Fits(*counted, count);
             return r;
         }},
        {"DF_ReadRecordsEx",
         [](Call& c) {
             const uint8_t file = c.Byte();
             const int32_t mode = Mode(c);
             const uint8_t offset = c.Byte(), count = c.Pick(9), recordSize = c.Byte();
             const uint16_t capacity = c.U16() % 1024;
             uint32_t* counted = c.In<uint32_t>(count);
             uint32_t* length = c.In<uint32_t>(capacity);
             const int32_t r = DF_ReadRecordsEx(c.session, file, mode, offset, counted,
                                                c.Out(capacity), length, recordSize, sessionKey);
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
    },
    {
        // Card level: version in three frames, applications, key settings and versions.
        {{"desfire:04112233445566"},
         {{"DF_Connect"},
          {"DF_CreateApp", {1, 0, 0, 0x0F, 2}},
          {"DF_CreateApp", {2, 0, 0, 0x0F, 2}},
          {"DF_CreateApp", {3, 0, 0, 0x0F, 2}},
          {"RfReset", {25, 0}}},
         {{"DF_Connect"},
          {"DF_GetVersion", {28}},
          {"DF_GetVersionI"},
          {"DF_ListApps", {28}},
          {"DF_EnumApps"},
          {"DF_GetKeySettings"},
          {"DF_GetKeyVersion", {0}},
          {"DF_Ping"}}},
        // Data and records in all three modes, enciphered ones across several frames.
        {{"desfire:04112233445566"},
         {{"DF_Connect"},
          {"DF_CreateApp", {1, 0, 0, 0x0F, 2}},
          {"DF_SelectApp", {1, 0, 0}},
          {"DF_AuthKey", {0}},
          {"DF_CreateStdFile", {1, 0, 64}},
          {"DF_CreateStdFile", {2, 1, 64}},
          {"DF_CreateStdFile", {3, 3, 64}},
          {"DF_CreateRecordFile", {4, 3, 10, 5}},
          {"DF_WriteData", {1, 0, 0, 40}},
          {"DF_WriteData", {2, 1, 0, 40}},
          {"DF_WriteData", {3, 2, 0, 40}},
          {"DF_WriteRecord", {4, 2, 10}},
          {"DF_Commit"},
          {"DF_WriteRecord", {4, 2, 10}},
          {"DF_Commit"},
          {"RfReset", {25, 0}}},
         {{"DF_Connect"},
          {"DF_SelectApp", {1, 0, 0}},
          {"DF_AuthKey", {0}},
          {"DF_ReadData", {2, 1, 0, 40}},
          {"DF_ReadData", {3, 2, 0, 40}},
          {"DF_ReadRecords", {4, 2, 0, 1, 10}},
          {"DF_GetFileSettings", {3}},
          {"DF_ReadData", {1, 0, 0, 0}}}},
        // Values, file lists and raw native commands.
        {{"desfire:04112233445566"},
         {{"DF_Connect"},
          {"DF_CreateApp", {2, 0, 0, 0x0F, 2}},
          {"DF_SelectApp", {2, 0, 0}},
          {"DF_AuthKey", {0}},
          {"DF_CreateValueFile", {1, 1}},
          {"DF_CreateValueFile", {2, 3}},
          {"DF_CreateRecordFile", {3, 0, 16, 8}},
          {"DF_WriteRecord", {3, 0, 16}},
          {"DF_Commit"},
          {"RfReset", {25, 0}}},
         {{"DF_Connect"},
          {"DF_SelectApp", {2, 0, 0}},
          {"DF_AuthKey", {0}},
          {"DF_GetValue", {1, 1}},
          {"DF_GetValue", {2, 2}},
          {"DF_GetFileIDs"},
          {"DF_ReadRecords", {3, 0, 0, 0, 16}},
          {"DF_ReadRecordsEx", {3, 0, 0, 0, 16, 64, 0}}}},
        // Raw native commands: GetVersion frame by frame, the application list collected.
        {{"desfire:04112233445566"},
         {{"DF_Connect"}, {"DF_CreateApp", {1, 0, 0, 0x0F, 2}}, {"RfReset", {25, 0}}},
         {{"DF_Connect"},
          {"DF_SendNativeCMD", {64, 0, 1, 0x60}},
          {"DF_SendNativeCMD", {64, 0, 1, 0xAF}},
          {"DF_SendNativeCMDEx", {0, 1, 1, 0x6A}}}},
    },
    Transport::kFramed,
    0,
    Prepare,
};

}  // namespace kestrel::fuzz
