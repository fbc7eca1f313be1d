#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

NameSequences scan_bytes(const std::string &bytes, size_t buffer_size)
{
    FILE *stream = stream_holding(bytes);
    if (stream == nullptr)
        throw std::runtime_error("cannot make a temporary file");
    NameSequences names = scanner_names(stream, buffer_size);
    fclose(stream);
    return names;
}

NameSequences model_bytes(const std::string &bytes)
{
    FILE *stream = stream_holding(bytes);
    if (stream == nullptr)
        throw std::runtime_error("cannot make a temporary file");
    NameSequences names = formatted_model_scan(stream);
    fclose(stream);
    return names;
}

void store_command(CommandTable *table, const std::string &name)
{
    NameGroup group{};
    name_group_add(&group, table, nullptr, kKindCommand, name.data(), name.size());
    name_group_store(&group, table, nullptr);
}

void store_environment(EnvironmentList *list, const std::string &name)
{
    NameGroup group{};
    name_group_add(&group, nullptr, list, kKindEnvironment, name.data(), name.size());
    name_group_store(&group, nullptr, list);
}

int name_order(const void *a, const void *b)
{
    int order = strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
    return (order > 0) - (order < 0);
}

std::string without_reasons(const std::string &text)
{
    std::string result;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        size_t colon = line.rfind(": ");
        if (line.compare(0, 12, "Cannot read ") == 0 && colon != std::string::npos)
            line =
                line.substr(0, colon + 2) + "REASON" + (line.back() == '\n' ? console("\n") : "");
        result += line;
        at = end;
    }
    return result;
}

std::string crlf_lines(const std::vector<std::string> &names)
{
    std::string bytes;
    for (const std::string &name : names)
        bytes += name + "\r\n";
    return bytes;
}

std::string letter_name(unsigned n)
{
    std::string name = "env";
    do {
        name += static_cast<char>('a' + n % 26);
        n /= 26;
    } while (n != 0);
    return name;
}

#ifdef _WIN32
const char kSep = '\\';
#else
const char kSep = '/';
#endif

std::string native(std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = kSep;
    return path;
}

std::string console(const std::string &text)
{
#ifdef _WIN32
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    return lines;
#else
    return text;
#endif
}

TempDir::TempDir()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = base / ("quillmap-test-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

#ifndef _WIN32
TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

void make_dirs(const std::string &path)
{
    std::filesystem::create_directories(path);
}
#endif

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool file_exists(const std::string &path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}
