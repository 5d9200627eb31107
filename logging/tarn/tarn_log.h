/*
 * tarn_log: the logging library the line logs write through.
 *
 * On Windows the driver imports these entry points by ordinal; here they are
 * plain C functions named after their ordinals:
 *
 *   ordinal 36  open     tarn_ordinal_36(handle*, template, field values...)
 *   ordinal 12  close    tarn_ordinal_12(handle)
 *   ordinal 34  write A  tarn_ordinal_34(handle, severity, level, 0, 0, format, va_list)
 *   ordinal 35  write B  tarn_ordinal_35(same arguments as write A)
 *
 * Open: the template is a ';'-separated list of fields, each consuming one
 * argument: %source (const char*, shown on every line), %csvlogname (const
 * char*, file name), %locking (int, non-zero: writes from several threads are
 * serialised), %loglevel (int, kept for the caller; lines are not filtered by
 * it, severity says what a line is), %csvlimit (int, bytes before the file
 * rotates; 0 = no limit). Unknown fields are skipped without consuming.
 * The handle written is a small non-zero number; 0 when the open failed.
 * Opening a file name that is already open shares that file.
 *
 * Files are plain text, one line per write:
 *   2026-01-31 12:00:00.123 [tid] [GSM_DRV] [info] text
 * in the current directory, or in the folder named by the environment
 * variable QVGSM_LOGDIR. Rotated files get .1, .2, .3 before the extension.
 * QVGSM_LOGLEVEL (error, warning or info), read when a file is opened, drops
 * the lines less severe than it; unset, every line is kept.
 *
 * Severity: 0 error, 1 warning, 2 information, other values debug.
 * Writes A and B are the same here.
 *
 * Flushing: warnings and errors reach the file at once (on a thread that
 * defers its flushes, at its next tarn_flush_deferred()), other lines within
 * a second, and everything on close, on tarn_flush_all() and when the process
 * dies of a fatal signal or SIGTERM (the signal then goes on to the handler
 * the process had before, which the library chains to). On Windows every
 * line reaches the file as it is written, and tarn_log.dll exports only the
 * four ordinals (the functions below them are not exported there).
 */
#ifndef TARN_LOG_H
#define TARN_LOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && !defined(_WIN32)
#define TARN_API __attribute__((visibility("default")))
#else
/* tarn_log.dll names its exports, by ordinal, in tarn_log.def. */
#define TARN_API
#endif

TARN_API void tarn_ordinal_36(uint32_t* handle, const char* configTemplate, ...);
TARN_API void tarn_ordinal_12(uint32_t handle);
TARN_API void tarn_ordinal_34(uint32_t handle, int severity, int level, int reserved1,
                              int reserved2, const char* format, va_list args);
TARN_API void tarn_ordinal_35(uint32_t handle, int severity, int level, int reserved1,
                              int reserved2, const char* format, va_list args);

/* Writes every open log's buffered lines to its file. */
TARN_API void tarn_flush_all(void);
/* For a thread that handles one piece of work after another: from now on
 * (on != 0) its warnings and errors reach their files when it calls
 * tarn_flush_deferred(), once per file, instead of line by line. Turning it
 * off flushes what is due. */
TARN_API void tarn_defer_flushes(int on);
TARN_API void tarn_flush_deferred(void);

#ifdef __cplusplus
}
#endif

#endif /* TARN_LOG_H */
