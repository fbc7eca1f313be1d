// A deliberately plain model of the scanner, written the slow, obvious way
// with formatted input: fscanf scan sets, getc and a one-byte fseek for every
// byte that starts no name. The real scanner must record the same names in the
// same order for every input; the differential test, the fuzz target and the
// benchmark hold it to that.
#ifndef QUILLMAP_FORMATTED_MODEL_H
#define QUILLMAP_FORMATTED_MODEL_H

#include <cstdio>
#include <string>
#include <vector>

struct NameSequences {
    std::vector<std::string> commands;     // every command name recorded, in order
    std::vector<std::string> environments; // every environment name recorded, in order

    bool operator==(const NameSequences &other) const
    {
        return commands == other.commands && environments == other.environments;
    }
};

// Scans `stream` (open for binary reading, positioned at its start) and
// returns every name recorded, duplicates included.
NameSequences formatted_model_scan(FILE *stream);

// The other side of the comparison: every name the real scanner yields from
// `stream`, read through a buffer of `buffer_size` bytes.
NameSequences scanner_names(FILE *stream, size_t buffer_size);

// Returns a seekable stream holding `bytes`, positioned at its start, or null
// when no temporary file can be made. The caller closes it.
FILE *stream_holding(const std::string &bytes);

#endif
