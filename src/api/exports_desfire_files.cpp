// Exported functions: DESFire applications and files, file data, values, records and
// transactions.
#include <algorithm>

#include "api/desfire_guard.h"
#include "desfire/data.h"
#include "desfire/files.h"

using kestrel::Result;
using kestrel::api::WithDesfire;
using kestrel::desfire::DesfireCard;

namespace df = kestrel::desfire;

namespace {

// The caller's communication mode as the DESFire layer's type. A number that names no mode
// keeps its value, and the DESFire layer refuses it.
df::CommMode Mode(int32_t commMode) {
    return static_cast<df::CommMode>(commMode);
}

}  // namespace

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetVersion(KestrelSession* session, uint8_t* buffer,
                                                  uint16_t* length) {
    return WithDesfire(
        session, [&](const DesfireCard& card) { return df::GetVersion(card, buffer, length); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetVersionI(KestrelSession* session, uint8_t* buffer) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        uint16_t length = df::kVersionLength;
        return df::GetVersion(card, buffer, &length);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateApp(KestrelSession* session, uint32_t aid,
                                                 uint8_t keySettings, uint8_t keyCount) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::CreateApp(card, aid, keySettings, keyCount);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ListApps(KestrelSession* session, uint32_t* aids,
                                                uint16_t* count) {
    return WithDesfire(session,
                       [&](const DesfireCard& card) { return df::ListApps(card, aids, count); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_EnumApps(KestrelSession* session, uintptr_t userValue,
                                                DF_EnumAppsCallback callback) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (callback == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        uint32_t aids[df::kMaxApplications];
        uint16_t count = df::kMaxApplications;
        if (Result r = df::ListApps(card, aids, &count); r != KESTREL_OK) return r;
        for (uint16_t i = 0; i < count && callback(userValue, aids[i]) != 0; ++i) {
        }
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_DeleteApp(KestrelSession* session, uint32_t aid) {
    return WithDesfire(session, [&](const DesfireCard& card) { return df::DeleteApp(card, aid); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_SelectApp(KestrelSession* session, uint32_t aid) {
    return WithDesfire(session, [&](const DesfireCard& card) { return df::SelectApp(card, aid); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_FormatCard(KestrelSession* session) {
    return WithDesfire(session, [&](const DesfireCard& card) { return df::FormatCard(card); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateStdFile(KestrelSession* session, uint8_t fileNo,
                                                     uint8_t commSettings,
                                                     const uint8_t* accessRights,
                                                     uint32_t fileSize) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::CreateDataFile(card, df::kCmdCreateStdFile, fileNo, commSettings, accessRights,
                                  fileSize);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateBackupFile(KestrelSession* session, uint8_t fileNo,
                                                        uint8_t commSettings,
                                                        const uint8_t* accessRights,
                                                        uint32_t fileSize) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::CreateDataFile(card, df::kCmdCreateBackupFile, fileNo, commSettings,
                                  accessRights, fileSize);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateValueFile(KestrelSession* session, uint8_t fileNo,
                                                       uint8_t commSettings,
                                                       const uint8_t* accessRights,
                                                       uint32_t lowerLimit, uint32_t upperLimit,
                                                       uint32_t value, uint8_t limitedCredit) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::CreateValueFile(card, fileNo, commSettings, accessRights, lowerLimit, upperLimit,
                                   value, limitedCredit);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_CreateRecordFile(KestrelSession* session, uint8_t fileNo,
                                                        uint8_t commSettings,
                                                        const uint8_t* accessRights,
                                                        uint32_t recordSize, uint32_t maxRecords,
                                                        uint8_t cyclic) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::CreateRecordFile(card, fileNo, commSettings, accessRights, recordSize,
                                    maxRecords, cyclic);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_DeleteFile(KestrelSession* session, uint8_t fileNo) {
    return WithDesfire(session,
                       [&](const DesfireCard& card) { return df::DeleteFile(card, fileNo); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFileIDs(KestrelSession* session, uint8_t* count,
                                                  uint8_t* fileIds) {
    return WithDesfire(
        session, [&](const DesfireCard& card) { return df::GetFileIds(card, count, fileIds); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFileSettings(KestrelSession* session, uint8_t fileNo,
                                                       uint8_t* commSettings, uint8_t* fileType,
                                                       uint8_t* accessRights,
                                                       uint8_t* specificLength, uint8_t* specific) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (commSettings == nullptr || fileType == nullptr || accessRights == nullptr ||
            specificLength == nullptr || specific == nullptr) {
            return KESTREL_ERR_WRONG_PARAMETER;
        }
        df::FileSettings settings;
        if (Result r = df::GetFileSettings(card, fileNo, settings); r != KESTREL_OK) return r;
        *commSettings = settings.commSettings;
        *fileType = settings.fileType;
        std::copy(settings.accessRights, settings.accessRights + df::kAccessRightCount,
                  accessRights);
        *specificLength = settings.specificLength;
        std::copy(settings.specific, settings.specific + settings.specificLength, specific);
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeFileSettings(KestrelSession* session, uint8_t fileNo,
                                                          uint8_t commSettings,
                                                          const uint8_t* accessRights,
                                                          const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::ChangeFileSettings(card, fileNo, commSettings, accessRights, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_WriteData(KestrelSession* session, uint8_t fileNo,
                                                 int32_t commMode, int32_t offset, uint32_t length,
                                                 const uint8_t* data, const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::WriteChunked(card, df::kCmdWriteData, fileNo, Mode(commMode), offset, length,
                                data, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_WriteRecord(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t offset,
                                                   uint32_t length, const uint8_t* data,
                                                   const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::WriteChunked(card, df::kCmdWriteRecord, fileNo, Mode(commMode), offset, length,
                                data, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadData(KestrelSession* session, uint8_t fileNo,
                                                int32_t commMode, int32_t offset, uint32_t* length,
                                                uint8_t* buffer, const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::ReadData(card, fileNo, Mode(commMode), offset, length, buffer, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetValue(KestrelSession* session, uint8_t fileNo,
                                                int32_t commMode, uint32_t* value,
                                                const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::GetValue(card, fileNo, Mode(commMode), value, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeValue(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t amount,
                                                   uint8_t operation, const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return df::ChangeValue(card, fileNo, Mode(commMode), amount, operation, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Credit(KestrelSession* session, uint8_t fileNo,
                                              int32_t commMode, int32_t amount,
                                              const uint8_t* sessionKey) {
    return DF_ChangeValue(session, fileNo, commMode, amount, df::kCredit, sessionKey);
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Debit(KestrelSession* session, uint8_t fileNo,
                                             int32_t commMode, int32_t amount,
                                             const uint8_t* sessionKey) {
    return DF_ChangeValue(session, fileNo, commMode, amount, df::kDebit, sessionKey);
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_LimitedCredit(KestrelSession* session, uint8_t fileNo,
                                                     int32_t commMode, int32_t amount,
                                                     const uint8_t* sessionKey) {
    return DF_ChangeValue(session, fileNo, commMode, amount, df::kLimitedCredit, sessionKey);
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadRecords(KestrelSession* session, uint8_t fileNo,
                                                   int32_t commMode, int32_t offset,
                                                   uint32_t* count, uint8_t* buffer,
                                                   uint32_t recordSize, const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        // No capacity: the buffer must hold whatever the card sends.
        return df::ReadRecords(card, fileNo, Mode(commMode), offset, count, buffer, nullptr,
                               recordSize, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ReadRecordsEx(KestrelSession* session, uint8_t fileNo,
                                                     int32_t commMode, int32_t offset,
                                                     uint32_t* count, uint8_t* buffer,
                                                     uint32_t* length, uint32_t recordSize,
                                                     const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (length == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        return df::ReadRecords(card, fileNo, Mode(commMode), offset, count, buffer, length,
                               recordSize, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ClearRecords(KestrelSession* session, uint8_t fileNo) {
    return WithDesfire(session,
                       [&](const DesfireCard& card) { return df::ClearRecords(card, fileNo); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Commit(KestrelSession* session) {
    return WithDesfire(session, [&](const DesfireCard& card) { return df::Commit(card); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Abort(KestrelSession* session) {
    return WithDesfire(session, [&](const DesfireCard& card) { return df::Abort(card); });
}
