#include "kestrel_sim/reader/reader_config.h"

namespace kestrel::sim {

namespace {

constexpr uint8_t kIdentity = 0x4B;
constexpr uint8_t kRevision = 0x12;

}  // namespace

ReaderConfig::ReaderConfig() {
    registers_[kIdentityRegister] = kIdentity;
    registers_[kRevisionRegister] = kRevision;
    StoreConfiguration(0, StoredConfiguration{kCardTypeA, kDefaultAttrib, {{0x11, 0x3D}}});
    StoreConfiguration(
        1, StoredConfiguration{kCardTypeB, kDefaultAttrib, {{0x11, 0x3F}, {0x12, 0x03}}});
    LoadConfiguration(0);
}

uint8_t ReaderConfig::StatusRegister(bool cardInField) const {
    return static_cast<uint8_t>((cardInField ? 0x01 : 0x00) | (rfScanOn_ ? 0x02 : 0x00));
}

std::array<uint8_t, 5> ReaderConfig::AttribAnswer() const {
    return {attrib_[0], attrib_[1], cardType_, baudIndex_,
            static_cast<uint8_t>(loadedConfiguration_ & 0xFF)};
}

std::string ReaderConfig::DescribeDevice(uint8_t device, uint8_t state) {
    static const char* const kNames[] = {"green LED", "red LED", "buzzer"};
    const char* name = device < kDeviceCount ? kNames[device] : "device";
    const char* what = "off";
    if (state == kOn) what = "on";
    if (state == kBlinking) what = device == kBuzzer ? "beeping" : "blinking";
    return std::string(name) + " " + what;
}

void ReaderConfig::StoreConfiguration(uint16_t number, StoredConfiguration configuration) {
    configurations_[number] = std::move(configuration);
}

bool ReaderConfig::LoadConfiguration(uint16_t number) {
    const auto it = configurations_.find(number);
    if (it == configurations_.end()) return false;
    const StoredConfiguration& c = it->second;
    for (size_t reg = 0; reg < kRegisterCount; ++reg) {
        if (!IsReadOnlyRegister(static_cast<uint8_t>(reg))) registers_[reg] = 0x00;
    }
    for (const auto& [reg, value] : c.registers) {
        if (reg < kRegisterCount && !IsReadOnlyRegister(reg)) registers_[reg] = value;
    }
    cardType_ = c.cardType;
    attrib_ = c.attrib;
    loadedConfiguration_ = number;
    return true;
}

bool ReaderConfig::SetFirmwareVersion(std::string text) {
    if (text.size() > kMaxFirmwareText) return false;
    firmwareVersion_ = std::move(text);
    return true;
}

void ReaderConfig::AddLogNote(const std::string& note) {
    logNote_ += (logNote_.empty() ? "" : ", ") + note;
}

std::string ReaderConfig::TakeLogNote() {
    std::string note = std::move(logNote_);
    logNote_.clear();
    return note;
}

}  // namespace kestrel::sim
