// The OFT2 transfer of one session as the sending and as the receiving client.
#include "session.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>

#include "oft2.h"
#include "sha256.h"

namespace oftpeer {

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 64 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenFile(const fs::path& path, const char* mode) {
#ifdef _WIN32
    const std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
    return File(_wfopen(path.c_str(), wmode.c_str()));
#else
    return File(std::fopen(path.c_str(), mode));
#endif
}

uint32_t ModTimeSeconds(const fs::path& path) {
    std::error_code ec;
    const auto written = fs::last_write_time(path, ec);
    if (ec) return 0;
    const auto now = std::chrono::system_clock::now() +
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(
                         written - fs::file_time_type::clock::now());
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return seconds < 0 ? 0 : static_cast<uint32_t>(seconds);
}

// Size, checksum and SHA-256 of a file, in one pass.
bool ScanFile(const fs::path& path, SentFile* file, std::string* error) {
    File f = OpenFile(path, "rb");
    if (!f) {
        *error = "cannot open " + path.string();
        return false;
    }
    OscarChecksum checksum;
    Sha256 sha;
    std::vector<char> buffer(kChunk);
    uint64_t size = 0;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n == 0) break;
        checksum.Update(buffer.data(), n);
        sha.Update(buffer.data(), n);
        size += n;
    }
    if (std::ferror(f.get())) {
        *error = "cannot read " + path.string();
        return false;
    }
    if (size > 0xFFFFFFFFu) {
        *error = path.string() + " is too large for one OFT2 transfer (4 GiB at most)";
        return false;
    }
    file->size = size;
    file->checksum = checksum.Value();
    file->sha256 = sha.FinalHex();
    return true;
}

// Reads one whole header; kClosed with nothing read is an orderly end between files.
ReadStatus ReadHeader(const Socket& s, int timeoutMs, std::vector<uint8_t>* bytes,
                      Oft2Header* header, size_t* got, std::string* error) {
    bytes->assign(8, 0);
    ReadStatus status = ReadExactly(s, bytes->data(), 8, timeoutMs, got, error);
    if (status != ReadStatus::kComplete) return status;
    const size_t length = Oft2HeaderLength(bytes->data());
    if (length == 0) {
        *error = "the peer sent something that is no OFT2 header";
        return ReadStatus::kFailed;
    }
    bytes->resize(length);
    size_t rest = 0;
    status = ReadExactly(s, bytes->data() + 8, length - 8, timeoutMs, &rest, error);
    *got += rest;
    if (status != ReadStatus::kComplete) return status;
    ParseOft2(bytes->data(), length, header);
    return ReadStatus::kComplete;
}

bool ExpectHeader(const Socket& s, int timeoutMs, uint16_t type, const char* what,
                  Oft2Header* header, std::string* error) {
    std::vector<uint8_t> bytes;
    size_t got = 0;
    const ReadStatus status = ReadHeader(s, timeoutMs, &bytes, header, &got, error);
    if (status != ReadStatus::kComplete) {
        if (error->empty()) *error = std::string("waiting for the ") + what + ": " + DescribeReadStatus(status);
        return false;
    }
    if (header->wType != type) {
        char text[96];
        std::snprintf(text, sizeof text, "expected the %s (type 0x%04X), got type 0x%04X", what,
                      type, header->wType);
        *error = text;
        return false;
    }
    return true;
}

bool SendFileBody(const Socket& s, const fs::path& path, uint64_t size, int timeoutMs,
                  std::string* error) {
    File f = OpenFile(path, "rb");
    if (!f) {
        *error = "cannot open " + path.string();
        return false;
    }
    std::vector<char> buffer(kChunk);
    uint64_t left = size;
    while (left > 0) {
        const size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        const size_t n = std::fread(buffer.data(), 1, want, f.get());
        if (n != want) {
            *error = path.string() + " changed while it was being sent";
            return false;
        }
        if (!SendAll(s, buffer.data(), n, timeoutMs, error)) return false;
        left -= n;
    }
    return true;
}

}  // namespace

std::array<uint8_t, 8> MakeCookie() {
    std::random_device device;
    std::mt19937 random(device() ^ static_cast<unsigned>(
                                       std::chrono::steady_clock::now().time_since_epoch().count()));
    std::array<uint8_t, 8> cookie{};
    for (int i = 0; i < 7; ++i) cookie[i] = static_cast<uint8_t>('0' + random() % 10);
    return cookie;
}

std::string SafeFileName(const std::string& announced) {
    // Only the last path component, without characters a file system may refuse.
    std::string name = announced;
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || std::string(":*?\"<>|").find(c) != std::string::npos)
            c = '_';
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    if (name.empty()) name = "file";
    return name;
}

bool RunSender(const Socket& connection, const SendOptions& options, std::vector<SentFile>* sent,
               std::string* error, const SentCallback& onSent) {
    if (options.files.empty() || options.files.size() > 0xFFFF) {
        *error = "between 1 and 65535 files can go in one session";
        return false;
    }
    std::vector<SentFile> files(options.files.size());
    uint64_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path path = fs::u8path(options.files[i]);
        files[i].path = options.files[i];
        files[i].name = path.filename().u8string();
        if (files[i].name.size() + 1 > kOft2MaxHeader - kOft2FixedSize) {
            *error = "file name too long: " + files[i].name;
            return false;
        }
        if (!ScanFile(path, &files[i], error)) return false;
        total += files[i].size;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        SentFile& file = files[i];
        const fs::path path = fs::u8path(file.path);
        const Oft2Header prompt = MakePrompt(
            file.name, static_cast<uint32_t>(file.size), file.checksum, ModTimeSeconds(path),
            static_cast<uint16_t>(files.size()), static_cast<uint16_t>(files.size() - i),
            total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total), options.cookie);
        const std::vector<uint8_t> bytes = SerializeOft2(prompt);
        if (!SendAll(connection, bytes.data(), bytes.size(), options.timeoutMs, error)) return false;
        Oft2Header reply;
        if (!ExpectHeader(connection, options.timeoutMs, kOft2Ack, "acknowledge", &reply, error))
            return false;
        if (!SendFileBody(connection, path, file.size, options.timeoutMs, error)) return false;
        if (!ExpectHeader(connection, options.timeoutMs, kOft2Done, "done", &reply, error))
            return false;
        file.receivedBytes = reply.dwnRecvd;
        file.receivedChecksum = reply.dwRecvCsum;
        sent->push_back(file);
        if (onSent) onSent(file);
    }
    // The receiver closes after the last DONE.
    WaitForClose(connection, options.timeoutMs);
    return true;
}

bool RunReceiver(const Socket& connection, const ReceiveOptions& options,
                 std::vector<ReceivedFile>* received, std::string* error,
                 const ReceivedCallback& onReceived) {
    const fs::path folder = fs::u8path(options.folder);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) {
        *error = "cannot create the folder " + options.folder;
        return false;
    }
    std::set<std::string> used;
    const std::array<uint8_t, 8> ownCookie =
        options.cookie == std::array<uint8_t, 8>{} ? MakeCookie() : options.cookie;
    for (;;) {
        std::vector<uint8_t> bytes;
        Oft2Header prompt;
        size_t got = 0;
        const ReadStatus status = ReadHeader(connection, options.timeoutMs, &bytes, &prompt, &got, error);
        if (status == ReadStatus::kClosed && got == 0 && !received->empty()) return true;
        if (status != ReadStatus::kComplete) {
            if (error->empty()) *error = "waiting for a file: " + DescribeReadStatus(status);
            return false;
        }
        if (prompt.wType != kOft2Prompt) {
            char text[64];
            std::snprintf(text, sizeof text, "expected a prompt, got type 0x%04X", prompt.wType);
            *error = text;
            return false;
        }
        ReceivedFile file;
        file.name = prompt.name;
        file.size = prompt.dwSize;
        file.announcedChecksum = prompt.dwChecksum;
        std::string name = SafeFileName(prompt.name);
        for (int n = 1; used.count(name) != 0; ++n) name = SafeFileName(prompt.name) + "." + std::to_string(n);
        used.insert(name);
        const fs::path path = folder / fs::u8path(name);
        file.path = path.u8string();

        // The acknowledge repeats the prompt with the receiver's marks on it.
        Oft2Header ack = prompt;
        ack.wType = kOft2Ack;
        if (ack.cookie == std::array<uint8_t, 8>{}) ack.cookie = ownCookie;
        ack.dwRfrcSum = 0;
        ack.dwRecvCsum = 0;
        ack.bFlags = 0x20;
        ack.bNameOffset = 0x1C;
        ack.bSizeOffset = 0x11;
        std::vector<uint8_t> out = SerializeOft2(ack);
        if (!SendAll(connection, out.data(), out.size(), options.timeoutMs, error)) return false;

        File f = OpenFile(path, "wb");
        if (!f) {
            *error = "cannot write " + file.path;
            return false;
        }
        OscarChecksum checksum;
        Sha256 sha;
        bool allZero = true;
        std::vector<char> buffer(kChunk);
        uint64_t left = file.size;
        while (left > 0) {
            const size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
            size_t n = 0;
            const ReadStatus body = ReadExactly(connection, buffer.data(), want, options.timeoutMs, &n, error);
            checksum.Update(buffer.data(), n);
            sha.Update(buffer.data(), n);
            for (size_t i = 0; i < n && allZero; ++i) allZero = buffer[i] == 0;
            if (n > 0 && std::fwrite(buffer.data(), 1, n, f.get()) != n) {
                *error = "cannot write " + file.path;
                return false;
            }
            left -= n;
            if (body != ReadStatus::kComplete) {
                if (error->empty())
                    *error = "receiving " + file.name + " (" + std::to_string(file.size - left) + " of " +
                             std::to_string(file.size) + " bytes): " + DescribeReadStatus(body);
                return false;
            }
        }
        if (std::fflush(f.get()) != 0) {
            *error = "cannot write " + file.path;
            return false;
        }
        f.reset();
        file.checksum = checksum.Value();
        file.sha256 = sha.FinalHex();
        file.allZero = allZero && file.size > 0;

        Oft2Header done = ack;
        done.wType = kOft2Done;
        done.dwRfrcSum = kOscarChecksumStart;
        done.dwnRecvd = static_cast<uint32_t>(file.size);
        done.dwRecvCsum = file.checksum;
        out = SerializeOft2(done);
        if (!SendAll(connection, out.data(), out.size(), options.timeoutMs, error)) return false;
        received->push_back(file);
        if (onReceived) onReceived(file);
        if (prompt.wFilesLeft <= 1) {
            // The last file: close, as clients do, and let the sender see the end.
            ShutdownSend(connection);
            WaitForClose(connection, options.timeoutMs);
            return true;
        }
    }
}

}  // namespace oftpeer
