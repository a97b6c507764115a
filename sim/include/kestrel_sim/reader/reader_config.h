// The reader's own state that configuration and diagnostic commands read and change:
// registers, attribute bytes, card type, output devices, stored configurations, firmware
// version, memory, line-speed index and RF scan mode.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim {

class ReaderConfig {
  public:
    static constexpr size_t kRegisterCount = 64;        // registers 0x00 to 0x3F
    static constexpr uint8_t kIdentityRegister = 0x3D;  // read-only: 0x4B
    static constexpr uint8_t kRevisionRegister = 0x3E;  // read-only: 0x12
    static constexpr uint8_t kStatusRegister = 0x3F;    // read-only: see StatusRegister
    static constexpr size_t kMemorySize = 1024;
    static constexpr size_t kMaxFirmwareText = 1024;
    static constexpr uint8_t kCardTypeA = 0x41;  // 'A'
    static constexpr uint8_t kCardTypeB = 0x42;  // 'B'
    static constexpr std::array<uint8_t, 2> kDefaultAttrib{0x01, 0x08};
    static constexpr uint8_t kBaudIndex115200 = 3;
    static constexpr uint8_t kMaxBaudIndex = 4;  // 9600, 19200, 57600, 115200, 38400

    // Output devices of SetIODevState and their states.
    enum Device : uint8_t { kGreenLed = 0, kRedLed = 1, kBuzzer = 2, kDeviceCount = 3 };
    enum DeviceState : uint8_t { kOff = 0, kOn = 1, kBlinking = 2 };  // the buzzer: beeping

    // What LoadConfig sets: the card type, the attribute bytes, and the writable registers
    // (zero except those listed).
    struct StoredConfiguration {
        uint8_t cardType = kCardTypeA;
        std::array<uint8_t, 2> attrib = kDefaultAttrib;
        std::vector<std::pair<uint8_t, uint8_t>> registers;
    };

    // Configuration 0 loaded (Type A), configuration 1 stored (Type B), memory zero, all
    // devices off, line-speed index 3 (115200), no RF scan.
    ReaderConfig();

    static bool IsReadOnlyRegister(uint8_t reg) { return reg >= kIdentityRegister; }
    // Raw register value; the status register reads as StatusRegister instead.
    uint8_t Register(uint8_t reg) const { return registers_.at(reg); }
    // Sets a register without the read-only check (tests, configurations).
    void SetRegister(uint8_t reg, uint8_t value) { registers_.at(reg) = value; }
    // Bit 0: a card is in the field; bit 1: RF scan is on.
    uint8_t StatusRegister(bool cardInField) const;

    const std::array<uint8_t, 2>& Attrib() const { return attrib_; }
    void SetAttrib(uint8_t first, uint8_t second) { attrib_ = {first, second}; }
    // Attribute bytes, card type, line-speed index, low byte of the loaded configuration.
    std::array<uint8_t, 5> AttribAnswer() const;

    uint8_t CardType() const { return cardType_; }
    static bool IsCardType(uint8_t type) { return type == kCardTypeA || type == kCardTypeB; }
    void SetCardType(uint8_t type) { cardType_ = type; }

    uint8_t DeviceStateOf(uint8_t device) const { return devices_.at(device); }
    void SetDeviceState(uint8_t device, uint8_t state) { devices_.at(device) = state; }
    // "green LED on", "buzzer beeping", ...
    static std::string DescribeDevice(uint8_t device, uint8_t state);

    // Stores (or replaces) configuration `number`.
    void StoreConfiguration(uint16_t number, StoredConfiguration configuration);
    // False when no configuration has that number (nothing changes).
    bool LoadConfiguration(uint16_t number);
    uint16_t LoadedConfiguration() const { return loadedConfiguration_; }

    const std::string& FirmwareVersion() const { return firmwareVersion_; }
    // False (nothing changes) for a text longer than kMaxFirmwareText.
    bool SetFirmwareVersion(std::string text);

    const Bytes& Memory() const { return memory_; }
    Bytes& Memory() { return memory_; }

    uint8_t BaudIndex() const { return baudIndex_; }
    void SetBaudIndex(uint8_t index) { baudIndex_ = index; }

    // RF scan commands exist only on readers of the derived type.
    bool RfScanSupported() const { return rfScanSupported_; }
    void SetRfScanSupported(bool supported) { rfScanSupported_ = supported; }
    bool RfScanOn() const { return rfScanOn_; }
    void SetRfScanOn(bool on) { rfScanOn_ = on; }

    // The last of the commands without a known purpose (PcdCommandNN): its code and data.
    const std::pair<uint8_t, Bytes>& LastPcdCommand() const { return lastPcdCommand_; }
    void SetLastPcdCommand(uint8_t code, Bytes data) { lastPcdCommand_ = {code, std::move(data)}; }

    // A note for the frame log of the current answer (device changes); taken once.
    void AddLogNote(const std::string& note);
    std::string TakeLogNote();

  private:
    std::array<uint8_t, kRegisterCount> registers_{};
    std::array<uint8_t, 2> attrib_ = kDefaultAttrib;
    uint8_t cardType_ = kCardTypeA;
    std::array<uint8_t, kDeviceCount> devices_{};
    std::map<uint16_t, StoredConfiguration> configurations_;
    uint16_t loadedConfiguration_ = 0;
    std::string firmwareVersion_ = "kestrel-sim 1.0";
    Bytes memory_ = Bytes(kMemorySize, 0x00);
    uint8_t baudIndex_ = kBaudIndex115200;
    bool rfScanSupported_ = false;
    bool rfScanOn_ = false;
    std::pair<uint8_t, Bytes> lastPcdCommand_{0x00, {}};
    std::string logNote_;
};

}  // namespace kestrel::sim
