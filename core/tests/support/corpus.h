// Test-side helpers for files: gzip members made and unpacked with zlib (independent of the
// decoder under test), and the shared corpus of real schematics when it is present.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kubrel::testing {

// One gzip member holding `payload`, deflated at zlib `level` (0 stores it).
std::vector<uint8_t> gzip_compress(std::span<const uint8_t> payload, int level = 6);
// The payload of a gzip member, or none when zlib refuses it.
std::optional<std::vector<uint8_t>> gunzip(std::span<const uint8_t> member);
// The whole file, or none when it cannot be read.
std::optional<std::vector<uint8_t>> read_file(const std::filesystem::path& path);

// A new empty folder named `name` plus the process id, for files a test writes: in /dev/shm where
// it exists, since atomic files are flushed to disk, which a busy disk makes take seconds.
std::filesystem::path scratch_dir(const std::string& name);

// The folder of real schematics (with sponge/, structure/ and legacy/ inside): $KUBREL_CORPUS if
// set, else shared/corpus/real beside or above the checkout; none when absent.
std::optional<std::filesystem::path> real_corpus_dir();

}  // namespace kubrel::testing
