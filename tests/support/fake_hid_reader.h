// The virtual reader as a device of the fake HID bus.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "kestrel_sim/reader/virtual_reader.h"
#include "support/fake_hid_bus.h"

namespace kestrel::testsupport {

// Hands every request frame the device takes to `reader` (which must outlive the bus) and
// its answers, with their delays and link breaks, back to the device.
inline FakeHidBus::Responder ServeVirtualReader(sim::VirtualReader& reader) {
    auto connection = std::make_shared<sim::HostConnection>(reader);
    return [connection](const FakeHidBus::Bytes& request) {
        std::vector<FakeHidBus::Answer> answers;
        for (sim::Transmission& t : connection->Receive(request.data(), request.size())) {
            FakeHidBus::Answer answer;
            answer.reset = t.breakLink;
            if (t.breakLink) connection->Reset();
            for (sim::Transmission::Chunk& chunk : t.chunks) {
                answer.pieces.push_back({std::move(chunk.bytes), chunk.delayMs});
            }
            answers.push_back(std::move(answer));
        }
        return answers;
    };
}

}  // namespace kestrel::testsupport
