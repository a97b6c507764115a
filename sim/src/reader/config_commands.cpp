// The commands of the reader's configuration and diagnostics.
#include <algorithm>

#include "kestrel_sim/reader/firmware.h"
#include "reader/command_sets.h"

namespace kestrel::sim {

namespace {

Answer Ok(Bytes data = {}) {
    return Answer{status::kOk, std::move(data)};
}

uint16_t Word(const Bytes& p, size_t at) {
    return static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
}

// A command with no parameters, no purpose the reader tells, and no answer data.
Firmware::Handler PlainCommand(uint8_t code, size_t paramBytes) {
    return [code, paramBytes](Firmware& f, const Bytes& p) {
        if (p.size() != paramBytes) return StatusOnly(status::kBadParameter);
        f.config().SetLastPcdCommand(code, p);
        return Ok();
    };
}

}  // namespace

void RegisterReaderConfigCommands(Firmware& firmware) {
    using namespace config_command;
    firmware.RegisterCommand(kWriteReg, "WriteReg", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2 || p[0] >= ReaderConfig::kRegisterCount) {
            return StatusOnly(status::kBadParameter);
        }
        if (ReaderConfig::IsReadOnlyRegister(p[0])) return StatusOnly(status::kAuthNotAllowed);
        f.config().SetRegister(p[0], p[1]);
        return Ok();
    });
    firmware.RegisterCommand(kReadReg, "ReadReg", [](Firmware& f, const Bytes& p) {
        if (p.size() != 1 || p[0] >= ReaderConfig::kRegisterCount) {
            return Answer{status::kBadParameter, {0x00}};
        }
        if (p[0] == ReaderConfig::kStatusRegister) {
            return Ok({f.config().StatusRegister(f.field().Count() > 0)});
        }
        return Ok({f.config().Register(p[0])});
    });
    firmware.RegisterCommand(kReadMemory, "ReadMemory", [](Firmware& f, const Bytes& p) {
        if (p.size() != 3) return StatusOnly(status::kBadParameter);
        const size_t address = Word(p, 0);
        const size_t length = p[2];
        const Bytes& memory = f.config().Memory();
        if (address + length > memory.size()) return StatusOnly(status::kBadParameter);
        return Ok(Bytes(memory.begin() + static_cast<std::ptrdiff_t>(address),
                        memory.begin() + static_cast<std::ptrdiff_t>(address + length)));
    });
    firmware.RegisterCommand(kWriteMemory, "WriteMemory", [](Firmware& f, const Bytes& p) {
        if (p.size() < 3 || p.size() != 3u + p[2]) return StatusOnly(status::kBadParameter);
        const size_t address = Word(p, 0);
        Bytes& memory = f.config().Memory();
        if (address + p[2] > memory.size()) return StatusOnly(status::kBadParameter);
        std::copy(p.begin() + 3, p.end(), memory.begin() + static_cast<std::ptrdiff_t>(address));
        return Ok();
    });
    firmware.RegisterCommand(
        kSetDefaultAttrib, "SetDefaultAttrib", [](Firmware& f, const Bytes& p) {
            if (!p.empty()) return StatusOnly(status::kBadParameter);
            f.config().SetAttrib(ReaderConfig::kDefaultAttrib[0], ReaderConfig::kDefaultAttrib[1]);
            return Ok();
        });
    firmware.RegisterCommand(kSetAttrib, "SetAttrib", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2) return StatusOnly(status::kBadParameter);
        f.config().SetAttrib(p[0], p[1]);
        return Ok();
    });
    firmware.RegisterCommand(kGetAttrib, "GetAttrib", [](Firmware& f, const Bytes& p) {
        if (!p.empty()) return StatusOnly(status::kBadParameter);
        const std::array<uint8_t, 5> answer = f.config().AttribAnswer();
        return Ok(Bytes(answer.begin(), answer.end()));
    });
    firmware.RegisterCommand(kGetFwVersion, "GetFWVersion", [](Firmware& f, const Bytes& p) {
        if (!p.empty()) return StatusOnly(status::kBadParameter);
        const std::string& text = f.config().FirmwareVersion();
        Bytes answer{static_cast<uint8_t>(text.size() & 0xFF),
                     static_cast<uint8_t>(text.size() >> 8)};
        answer.insert(answer.end(), text.begin(), text.end());
        return Ok(std::move(answer));
    });
    firmware.RegisterCommand(kSetBaudRate, "SetReaderBaudRate", [](Firmware& f, const Bytes& p) {
        if (p.size() != 1 || p[0] > ReaderConfig::kMaxBaudIndex) {
            return StatusOnly(status::kBadParameter);
        }
        f.config().SetBaudIndex(p[0]);
        return Ok();
    });
    firmware.RegisterCommand(kGetBaudRate, "GetReaderBaudRate", [](Firmware& f, const Bytes& p) {
        if (!p.empty()) return StatusOnly(status::kBadParameter);
        return Ok({f.config().BaudIndex()});
    });
    firmware.RegisterCommand(kEchoTest, "EchoTest",
                             [](Firmware&, const Bytes& p) { return Ok(p); });
    firmware.RegisterCommand(kPcdCommand10, "PcdCommand10", PlainCommand(kPcdCommand10, 0));
    firmware.RegisterCommand(kPcdCommand62, "PcdCommand62", PlainCommand(kPcdCommand62, 0));
    firmware.RegisterCommand(kPcdCommand66, "PcdCommand66", PlainCommand(kPcdCommand66, 0));
    firmware.RegisterCommand(kPcdCommand85, "PcdCommand85", PlainCommand(kPcdCommand85, 0));
    firmware.RegisterCommand(kPcdCommand87, "PcdCommand87", PlainCommand(kPcdCommand87, 2));
    firmware.RegisterCommand(kPcdCommand98, "PcdCommand98", [](Firmware& f, const Bytes& p) {
        if (p.empty()) return StatusOnly(status::kBadParameter);  // the first byte at least
        f.config().SetLastPcdCommand(kPcdCommand98, p);
        return Ok();
    });
    firmware.RegisterCommand(kSetIoDevState, "SetIODevState", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2 || p[0] >= ReaderConfig::kDeviceCount || p[1] > ReaderConfig::kBlinking) {
            return StatusOnly(status::kBadParameter);
        }
        f.config().SetDeviceState(p[0], p[1]);
        f.config().AddLogNote(ReaderConfig::DescribeDevice(p[0], p[1]));
        return Ok();
    });
    firmware.RegisterCommand(kLoadConfig, "LoadConfig", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2 || !f.config().LoadConfiguration(Word(p, 0))) {
            return StatusOnly(status::kBadParameter);
        }
        return Ok();
    });
    firmware.RegisterCommand(kSetCardType, "SetCardType", [](Firmware& f, const Bytes& p) {
        if (p.size() != 1 || !ReaderConfig::IsCardType(p[0])) {
            return StatusOnly(status::kBadParameter);
        }
        f.config().SetCardType(p[0]);
        return Ok();
    });
    // RF scan: a command of readers of the derived type; others do not know it.
    auto rfScan = [](bool on) {
        return [on](Firmware& f, const Bytes& p) {
            if (!f.config().RfScanSupported()) return StatusOnly(status::kUnknownCommand);
            if (!p.empty()) return StatusOnly(status::kBadParameter);
            f.config().SetRfScanOn(on);
            f.config().AddLogNote(on ? "RF scan on" : "RF scan off");
            return Ok();
        };
    };
    firmware.RegisterCommand(kRfScanOn, "SetRFScanMode", rfScan(true));
    firmware.RegisterCommand(kRfScanOff, "SetRFScanMode", rfScan(false));
    firmware.RegisterCommand(kGetRfScanMode, "GetRFScanMode", [](Firmware& f, const Bytes& p) {
        if (!f.config().RfScanSupported()) return StatusOnly(status::kUnknownCommand);
        if (!p.empty()) return StatusOnly(status::kBadParameter);
        return Ok({static_cast<uint8_t>(f.config().RfScanOn() ? 0x01 : 0x00)});
    });
}

}  // namespace kestrel::sim
