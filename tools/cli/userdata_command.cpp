#include <vexo/camera.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/commands.h"
#include "cli/tool_error.h"

namespace vexo::tools {

namespace {

constexpr unsigned kStoreBytes = 1024;
constexpr unsigned kChunk = 32;  // the most one user-data request carries
constexpr unsigned kSerialAddress = 1008;
constexpr unsigned kSerialBytes = 16;

struct UserDataOptions {
    BoardOptions board;
    std::string address;
    std::string length;
    std::vector<std::string> bytes;
    std::string text;
    std::string serial;  // serial --set
};

unsigned checkedAddress(const std::string& text) {
    return static_cast<unsigned>(parseArgNumber(text, kStoreBytes - 1, "user-data address"));
}

void checkRange(unsigned address, size_t length) {
    if (address + length > kStoreBytes)
        throw UsageError("user data ends at address 1023: " + std::to_string(address) + " + " +
                         std::to_string(length) + " bytes passes it");
}

std::vector<uint8_t> readStore(CameraHandle handle, unsigned address, size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t done = 0; done < length; done += kChunk) {
        const auto n = static_cast<uint8_t>(std::min<size_t>(kChunk, length - done));
        const uint32_t status =
            Vexo_readUserData(handle, static_cast<uint16_t>(address + done), n, &data[done]);
        if (status != USB_CAMERA_NO_ERROR)
            throw ToolError(describeStatus("reading user data", status));
    }
    return data;
}

// The library does not report whether the board kept a write, so every write is read back.
void writeStore(CameraHandle handle, unsigned address, std::vector<uint8_t> data) {
    for (size_t done = 0; done < data.size(); done += kChunk) {
        const auto n = static_cast<uint8_t>(std::min<size_t>(kChunk, data.size() - done));
        const uint32_t status =
            Vexo_writeUserData(handle, static_cast<uint16_t>(address + done), n, &data[done]);
        if (status != USB_CAMERA_NO_ERROR)
            throw ToolError(describeStatus("writing user data", status));
    }
    if (readStore(handle, address, data.size()) != data)
        throw ToolError("the board did not keep the user data written (read back differs)");
}

void hexDump(unsigned address, const std::vector<uint8_t>& data) {
    for (size_t row = 0; row < data.size(); row += 16) {
        // Hexadecimal like the bytes beside it, and marked so: 1008 is row 0x03F0.
        std::printf("0x%03zX ", address + row);
        const size_t n = std::min<size_t>(16, data.size() - row);
        for (size_t i = 0; i < 16; ++i) {
            if (i < n)
                std::printf(" %02X", data[row + i]);
            else
                std::printf("   ");
        }
        std::printf("  ");
        for (size_t i = 0; i < n; ++i) {
            const uint8_t c = data[row + i];
            std::putchar(c >= 0x20 && c < 0x7F ? c : '.');
        }
        std::putchar('\n');
    }
}

void runRead(const UserDataOptions& options) {
    const unsigned address = checkedAddress(options.address);
    const auto length =
        static_cast<size_t>(parseArgNumber(options.length, kStoreBytes, "user-data length"));
    checkRange(address, length);
    const CameraFile file = loadConfig(options.board);
    BoardSession session(options.board, file);
    hexDump(address, readStore(session.handle(), address, length));
}

void runWrite(const UserDataOptions& options) {
    const unsigned address = checkedAddress(options.address);
    std::vector<uint8_t> data;
    if (!options.text.empty() && !options.bytes.empty())
        throw UsageError("give either bytes or --text, not both");
    if (!options.text.empty()) data.assign(options.text.begin(), options.text.end());
    for (const std::string& b : options.bytes)
        data.push_back(static_cast<uint8_t>(parseArgNumber(b, 0xFF, "byte")));
    if (data.empty()) throw UsageError("nothing to write: give bytes or --text");
    checkRange(address, data.size());
    const CameraFile file = loadConfig(options.board);
    const unsigned realBoards = realBoardCount();
    BoardSession session(options.board, file);
    writeStore(session.handle(), address, data);
    std::printf("wrote %zu byte(s) at %u\n", data.size(), address);
    if (session.board().index >= realBoards) noteVirtualWrite();
}

void runSerial(const UserDataOptions& options) {
    const CameraFile file = loadConfig(options.board);
    if (!options.serial.empty()) {
        if (options.serial.size() > kSerialBytes)
            throw UsageError("a serial has at most 16 characters");
        const unsigned realBoards = realBoardCount();
        BoardSession session(options.board, file);
        std::vector<uint8_t> data(kSerialBytes, 0);
        std::memcpy(data.data(), options.serial.data(), options.serial.size());
        writeStore(session.handle(), kSerialAddress, data);
        std::printf("serial of board %u set to %s\n", session.board().index,
                    options.serial.c_str());
        if (session.board().index >= realBoards) noteVirtualWrite();
        return;
    }
    BoardSession session(options.board, file);
    const std::vector<uint8_t> data = readStore(session.handle(), kSerialAddress, kSerialBytes);
    std::string serial;
    for (uint8_t c : data) {
        if (!c) break;
        serial += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    std::printf("%s\n", serial.c_str());
}

}  // namespace

Command addUserDataCommand(CLI::App& parent) {
    auto options = std::make_shared<UserDataOptions>();
    CommandGroup userdata(
        parent, "userdata",
        "Read and write the board's 1024-byte user-data store (addresses 0..1023); its last 16 "
        "bytes hold the serial text that 'vexo scan' lists. Writes are read back and checked.");

    CLI::App* read =
        userdata.add("read", "Print user data as a hex dump", [options] { runRead(*options); });
    addBoardOptions(read, options->board);
    read->add_option("address", options->address, "First address (decimal or 0x hex)")->required();
    read->add_option("length", options->length, "Number of bytes")->required();

    CLI::App* write = userdata.add("write", "Write bytes or text to user data",
                                   [options] { runWrite(*options); });
    addBoardOptions(write, options->board);
    write->add_option("address", options->address, "First address (decimal or 0x hex)")->required();
    write->add_option("bytes", options->bytes, "Byte values (decimal or 0x hex)");
    write->add_option("--text", options->text, "Write these characters instead of bytes");

    CLI::App* serial = userdata.add("serial", "Print the board's serial text, or set it",
                                    [options] { runSerial(*options); });
    addBoardOptions(serial, options->board);
    serial->add_option("--set", options->serial,
                       "New serial text (at most 16 characters, padded with NUL bytes)");
    return userdata.command();
}

}  // namespace vexo::tools
