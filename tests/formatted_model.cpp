#include "formatted_model.h"

#include <cstring>
#include <filesystem>
#include <string>
#ifdef _WIN32
#include <process.h>
#endif

#include "scan/scan.h"

namespace {

const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ@";
const char *const kKeywords[] = {"newenvironment", "begin", nullptr};

// After a keyword: pass over everything up to and including the next '{',
// then read the name characters right after it.
void capture_environment(FILE *stream, const char *format, NameSequences *names)
{
    int c;
    do
        c = getc(stream);
    while (c != EOF && c != '{');
    if (c == EOF)
        return;
    char environment[128];
    if (fscanf(stream, format, environment) == 1)
        names->environments.push_back(environment);
}

} // namespace

NameSequences formatted_model_scan(FILE *stream)
{
    // Widths 1023 and 127 bound the reads to the name buffers, as the real
    // scanner cuts its names.
    char command_format[128];
    char environment_format[128];
    snprintf(command_format, sizeof command_format, "\\%%1023[%s]", kLetters);
    snprintf(environment_format, sizeof environment_format, "%%127[%s]", kLetters);

    NameSequences names;
    char command[1024];
    while (!feof(stream)) {
        if (fscanf(stream, command_format, command) != 1) {
            if (feof(stream))
                break;
            fseek(stream, 1, SEEK_CUR);
            continue;
        }
        for (const char *const *keyword = kKeywords; *keyword != nullptr; ++keyword)
            if (strcmp(command, *keyword) == 0)
                capture_environment(stream, environment_format, &names);
        names.commands.push_back(command);
    }
    return names;
}

NameSequences scanner_names(FILE *stream, size_t buffer_size)
{
    NameSequences names;
    // Past the buffer lie bytes of plain text: a scanner that looked past
    // the bytes held would end a name there that goes on in the next ones.
    std::vector<unsigned char> block(buffer_size + 64, ' ');
    SourceBuffer buffer;
    source_buffer_init(&buffer, block.data(), buffer_size);
    Scanner scanner;
    scanner_init(&scanner);
    for (;;) {
        ScanToken token = scanner_next(&scanner, &buffer);
        if (token == kTokenCommand)
            names.commands.emplace_back(scanner.name, scanner.name_length);
        else if (token == kTokenEnvironment)
            names.environments.emplace_back(scanner.name, scanner.name_length);
        else if (token == kTokenMore)
            source_buffer_refill(&buffer, fread(block.data(), 1, buffer_size, stream), false);
        else
            break;
    }
    return names;
}

FILE *stream_holding(const std::string &bytes)
{
#ifdef _WIN32
    // The C library's tmpfile() names its files by a count of the process's
    // own, so that test processes run side by side take the same names and
    // fail: this one names its file for the process as well, and has it
    // removed on closing ("D").
    static unsigned next = 0;
    std::string name = "quillmap-" + std::to_string(_getpid()) + "-" + std::to_string(next++);
    std::string path = (std::filesystem::temp_directory_path() / name).string();
    FILE *stream = fopen(path.c_str(), "w+bD");
#else
    FILE *stream = tmpfile();
#endif
    if (stream == nullptr)
        return nullptr;
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) {
        fclose(stream);
        return nullptr;
    }
    rewind(stream);
    return stream;
}
