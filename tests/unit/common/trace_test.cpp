#include "common/trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "desfire/crypto.h"
#include "link/block_framing_protocol.h"
#include "reader/reader_status.h"
#include "support/scripted_comm.h"

// This program runs twice: as it is, where the trace must stay silent, and as the ctest
// "trace.on" with KESTREL_TRACE=1 (these tests only), where each failure below must say why.
namespace kestrel {
namespace {

bool TraceRequested() {
    const char* value = std::getenv("KESTREL_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

TEST(Trace, FailuresSayWhyOnlyWhenAsked) {
    ASSERT_EQ(trace::Enabled(), TraceRequested());
    test::Bytes badCrc = test::Frame(0, 0x00, {0x04});
    badCrc.back() ^= 0x01;
    test::ScriptedComm comm;
    comm.Answer(badCrc);
    link::BlockFramingProtocol framing(comm);
    link::ReaderCommand command;
    uint8_t macedAnswer[8] = {1, 2, 3, 4, 0, 0, 0, 0};
    size_t macedLength = sizeof macedAnswer;
    const uint8_t key[desfire::kKeyLength] = {};
    const struct {
        const char* name;
        std::function<Result()> fail;
        Result expected;
        const char* line;
    } cases[] = {
        {"frame CRC", [&] { return framing.Exchange(command, 100); }, KESTREL_ERR_FRAME_CRC,
         "kestrel link: answer CRC mismatch: received "},
        {"unknown status byte", [] { return reader::ReaderStatusResult(0x80); },
         KESTREL_ERR_WRITE_FAILED, "kestrel reader: status byte 80 has no result of its own"},
        {"DESFire MAC",
         [&] {
             return desfire::DfUnprotectData(desfire::kCommMaced, macedAnswer, &macedLength, 0,
                                             key);
         },
         KESTREL_ERR_DF_BAD_MAC, "kestrel desfire: MAC mismatch over 4 data bytes\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const Result result = c.fail();
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.expected) << c.name;
        if (TraceRequested()) {
            EXPECT_NE(printed.find(c.line), std::string::npos) << c.name << ": " << printed;
        } else {
            EXPECT_EQ(printed, "") << c.name;
        }
    }
}

}  // namespace
}  // namespace kestrel
