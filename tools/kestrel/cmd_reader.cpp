// readers and info: which readers can be opened, and what the connected one is.
#include <iostream>

#include "commands.h"

namespace kestrel::tool {

namespace {

uint8_t KESTREL_CALL AddReaderName(uintptr_t context, const char* name) {
    reinterpret_cast<std::vector<std::string>*>(context)->push_back(name);
    return 1;
}

uint8_t KESTREL_CALL AddInterface(uintptr_t context, const char* description,
                                  int32_t interfaceType) {
    reinterpret_cast<Json*>(context)->push_back(
        {{"type", interfaceType}, {"description", description}});
    return 1;
}

std::string InterfaceName(int32_t type) {
    switch (type) {
        case INTERFACE_RS232:
            return "serial";
        case INTERFACE_USB:
            return "usb";
        case INTERFACE_TCP:
            return "tcp";
        default:
            return std::to_string(type);
    }
}

void Readers(const Tool& tool, int64_t usbProductId) {
    const Output out = tool.options.output();
    Json readers = Json::array();
    auto list = [&](int32_t interfaceType, uint32_t productId) {
        std::vector<std::string> names;
        const int32_t code = EnumReaders(productId, interfaceType, AddReaderName,
                                         reinterpret_cast<uintptr_t>(&names));
        if (code != KESTREL_OK) {
            out.Note("note: cannot list " + InterfaceName(interfaceType) +
                     " readers: " + DescribeCode(code));
        }
        for (const std::string& name : names) {
            readers.push_back({{"interface", InterfaceName(interfaceType)}, {"name", name}});
        }
    };
    list(INTERFACE_RS232, 0);
    if (usbProductId >= 0) list(INTERFACE_USB, static_cast<uint32_t>(usbProductId));
    out.Result({{"readers", readers}}, [&] {
        for (const Json& r : readers) {
            std::cout << r["interface"].get<std::string>() << "  " << r["name"].get<std::string>()
                      << '\n';
        }
        if (readers.empty()) std::cout << "no readers found\n";
    });
}

void Info(const Tool& tool) {
    Reader reader(tool.options);
    char text[256];
    uint8_t length = sizeof text - 1;
    reader.Check(GetFWVersion(reader.session(), text, &length), "read the firmware version");
    uint8_t scanState = 0;
    const int32_t scan = GetRFScan(reader.session(), &scanState);
    // A reader without RF scan refuses the command; a failure of the line is still a failure.
    if (scan == KESTREL_ERR_RS232_READ || scan == KESTREL_ERR_SOCKET) {
        reader.Check(scan, "ask for RF scan");
    }
    Json interfaces = Json::array();
    GetSupportedCommInterfaces(AddInterface, reinterpret_cast<uintptr_t>(&interfaces));
    const ReaderAddress& address = reader.address();

    Json doc = {{"reader", address.name},
                {"interface", InterfaceName(address.interfaceType)},
                {"firmware", std::string(text, length)},
                {"readerType", tool.options.readerType},
                {"readerKind", tool.options.readerType == READER_TYPE_RFSCAN ? "RF-scan reader"
                                                                             : "standard reader"},
                {"rfScan", scan == KESTREL_OK ? Json{{"supported", true}, {"on", scanState != 0}}
                                              : Json{{"supported", false}}},
                {"interfaces", interfaces}};
    tool.options.output().Result(doc, [&] {
        std::cout << "reader      " << address.name << " (" << doc["interface"].get<std::string>()
                  << ")\nfirmware    " << doc["firmware"].get<std::string>() << "\nreader type "
                  << tool.options.readerType << " (" << doc["readerKind"].get<std::string>()
                  << ")\nRF scan     "
                  << (scan == KESTREL_OK ? (scanState != 0 ? "supported, on" : "supported, off")
                                         : "not supported")
                  << "\ninterfaces ";
        for (const Json& i : interfaces)
            std::cout << " " << i["description"].get<std::string>() << ";";
        std::cout << '\n';
    });
}

}  // namespace

void AddReaderCommands(CLI::App& app, Tool& tool) {
    auto usb = std::make_shared<int64_t>(-1);
    CLI::App* readers = AddCommand(app, tool, "readers",
                                   "list the serial (and with --usb, USB) readers that can be "
                                   "opened",
                                   [&tool, usb] { Readers(tool, *usb); });
    readers->add_option("--usb", *usb, "also list USB readers with this product id")
        ->check(CLI::Range(0, 0xFFFF));
    AddCommand(app, tool, "info", "firmware version, RF scan, reader type and interfaces",
               [&tool] { Info(tool); });
}

}  // namespace kestrel::tool
