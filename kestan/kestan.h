/*
 * kestan - the host's logging library. The driver records every diagnostic
 * through err(level, format, ...); the host chooses where the lines go.
 */
#ifndef KESTAN_H
#define KESTAN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(KESTAN_BUILDING)
#    define KESTAN_API __declspec(dllexport)
#  else
#    define KESTAN_API __declspec(dllimport)
#  endif
#else
#  define KESTAN_API __attribute__((visibility("default")))
#endif

/* Records one message as a line "level message": on stderr by default, or
 * appended to the file named by KestanLogToFile. */
KESTAN_API void err(int level, const char *format, ...);

/* Appends further messages to the file at path; NULL goes back to stderr.
 * Returns 0, or -1 when the file cannot be opened (stderr stays in use). */
KESTAN_API int KestanLogToFile(const char *path);

/* Hands every message to sink as well (NULL removes it). The sink is called
 * with the formatted message, without the level prefix or a newline. */
typedef void (*KestanSink)(int level, const char *message, void *context);
KESTAN_API void KestanSetSink(KestanSink sink, void *context);

/* Hands every message to one more sink besides the one KestanSetSink sets,
 * so that independent parts of a host can each watch the messages. Up to
 * four; returns 0, or -1 when all four places are taken. */
KESTAN_API int KestanAddSink(KestanSink sink, void *context);
/* Removes a sink KestanAddSink added (the same sink and context). */
KESTAN_API void KestanRemoveSink(KestanSink sink, void *context);

#ifdef __cplusplus
}
#endif

#endif /* KESTAN_H */
