#include "kestrel_sim/cards/typeb/typeb_card.h"

#include <algorithm>
#include <stdexcept>

namespace kestrel::sim {

namespace {

uint32_t SeedOf(const Bytes& pupi) {
    uint32_t seed = 0;
    for (uint8_t b : pupi) seed = (seed << 8) | b;
    return seed;
}

}  // namespace

TypeBCard::TypeBCard(Bytes pupi, Options options)
    : Card("typeb", std::move(pupi), 0x0000, 0x00), options_(std::move(options)) {
    if (Uid().size() != iso14443b::kPupiSize) {
        throw std::invalid_argument("a PUPI has 4 bytes");
    }
    random_.seed(SeedOf(Uid()));
}

Bytes TypeBCard::Atqb() const {
    Bytes atqb{iso14443b::kAtqbStart};
    atqb.insert(atqb.end(), Uid().begin(), Uid().end());
    atqb.push_back(options_.afi);
    atqb.insert(atqb.end(), options_.applicationData.begin(), options_.applicationData.end());
    atqb.insert(atqb.end(), options_.protocolInfo.begin(), options_.protocolInfo.end());
    return atqb;
}

bool TypeBCard::AcceptsAfi(uint8_t requestAfi) const {
    const uint8_t own = options_.afi;
    if (requestAfi == 0x00 || own == 0x00) return true;
    const uint8_t family = requestAfi >> 4;
    const uint8_t subFamily = requestAfi & 0x0F;
    if (family == 0) return subFamily == (own & 0x0F) && (own >> 4) == 0;
    if (family != (own >> 4)) return false;
    return subFamily == 0 || subFamily == (own & 0x0F);
}

int TypeBCard::DrawSlot(int slots) {
    if (fixedSlot_ > 0) return std::min(fixedSlot_, slots);
    std::uniform_int_distribution<int> slot(1, slots);
    return slot(random_);
}

Bytes TypeBCard::HigherLayerAnswer(const Bytes& data) {
    if (data.empty()) return {};
    return options_.higherLayerAnswer;
}

}  // namespace kestrel::sim
