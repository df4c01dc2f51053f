// Drives the archive reader over an attached-data file, so that tests can
// watch what it yields, how often it calls the decoder and how it fails.
//   reader_probe FILE records          reads record after record to the
//                                      terminator: "record NAME SIZE HASH", "end"
//   reader_probe FILE reads OUT N...   reads N bytes at a time, appends them to
//                                      OUT and prints "read N calls=C yields=Y,..."
// At exit, also after a fatal error, it prints whether the reader's buffer
// and decoder exist and what the decoder did during the last read.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/tests/test_data.h"

namespace {

// The decoder calls of the current read and the bytes each produced.
unsigned decoderCalls;
std::string decoderYields;
// The probe's one reader, which the report at exit looks into.
ArchiveReader reader;

void startRead() {
    decoderCalls = 0;
    decoderYields.clear();
}

void reportAtExit() {
    printf("exit buffer=%s decoder=%s calls=%u yields=%s\n", reader.output.dst ? "set" : "null",
           reader.decoder ? "set" : "null", decoderCalls, decoderYields.c_str());
    fflush(stdout);
}

std::string readWholeFile(const wchar_t* path) {
    FILE* file = _wfopen(path, L"rb");
    if (!file) {
        printf("cannot open the input\n");
        exit(100);
    }
    std::string bytes;
    char piece[65536];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.append(piece, got);
    }
    fclose(file);
    return bytes;
}

std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, 0);
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Numbers are formatted here: the runtime's printf lacks some length modifiers.
std::string hex(uint64_t value) {
    const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) {
        out[i] = digits[value & 15];
    }
    return out;
}

void readRecords() {
    for (;;) {
        std::wstring name;
        for (;;) {
            unsigned char unit[2];
            startRead();
            readArchiveBytes(reader, unit, 2);
            wchar_t c = static_cast<wchar_t>(unit[0] | unit[1] << 8);
            if (c == 0) {
                break;
            }
            name.push_back(c);
        }
        if (name.empty()) {
            printf("end\n");
            return;
        }
        unsigned char sizeField[8];
        startRead();
        readArchiveBytes(reader, sizeField, 8);
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) {
            size = size << 8 | sizeField[i];
        }
        uint64_t hash = fnv1a64("");
        std::string piece;
        for (uint64_t left = size; left > 0;) {
            size_t take = left < 32768 ? static_cast<size_t>(left) : 32768;
            piece.resize(take);
            startRead();
            readArchiveBytes(reader, piece.data(), take);
            hash = fnv1a64(piece, hash);
            left -= take;
        }
        printf("record %s %s %s\n", utf8(name).c_str(), std::to_string(size).c_str(),
               hex(hash).c_str());
    }
}

} // namespace

// Counts the reader's calls into the decoder (the link wraps the symbol).
extern "C" size_t __real_ZSTD_decompressStream(ZSTD_DStream*, ZSTD_outBuffer*, ZSTD_inBuffer*);
extern "C" size_t __wrap_ZSTD_decompressStream(ZSTD_DStream* decoder, ZSTD_outBuffer* output,
                                               ZSTD_inBuffer* input) {
    size_t before = output->pos;
    size_t result = __real_ZSTD_decompressStream(decoder, output, input);
    ++decoderCalls;
    if (!decoderYields.empty()) {
        decoderYields += ",";
    }
    decoderYields += std::to_string(output->pos - before);
    return result;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 100;
    }
    std::string data = readWholeFile(argv[1]);
    // The file's bytes stand in for the linked array.
    initArchiveReader(reader, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    atexit(reportAtExit);
    startRead();
    openArchiveReader(reader);

    std::wstring mode = argv[2];
    if (mode == L"records") {
        readRecords();
        return 0;
    }
    if (mode == L"reads" && argc >= 4) {
        FILE* out = _wfopen(argv[3], L"wb");
        if (!out) {
            return 101;
        }
        for (int i = 4; i < argc; ++i) {
            size_t count = wcstoul(argv[i], nullptr, 10);
            std::vector<unsigned char> bytes(count);
            startRead();
            readArchiveBytes(reader, bytes.data(), count);
            fwrite(bytes.data(), 1, count, out);
            fflush(out);
            printf("read %s calls=%u yields=%s\n", std::to_string(count).c_str(), decoderCalls,
                   decoderYields.c_str());
        }
        fclose(out);
        startRead();
        return 0;
    }
    return 100;
}
