// The four tarn_log entry points the line log calls, reached through a table
// so tests can record the calls instead of writing files.
#pragma once

#include <cstdarg>
#include <cstdint>

struct TarnEntryTable {
    // (out handle, template, then one value per template field)
    void (*open)(uint32_t* handle, const char* configTemplate, ...);
    void (*close)(uint32_t handle);
    // (handle, severity, level, 0, 0, format, arguments)
    void (*writeA)(uint32_t handle, int severity, int level, int reserved1, int reserved2,
                   const char* format, va_list args);
    void (*writeB)(uint32_t handle, int severity, int level, int reserved1, int reserved2,
                   const char* format, va_list args);
};

// The table in use; starts with the library's entry points. Tests swap it
// (and put it back) while no log is written.
TarnEntryTable& TarnEntries();
// The library's own entry points.
TarnEntryTable TarnLibraryEntries();
