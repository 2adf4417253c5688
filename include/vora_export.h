/* Marks what the shared library exports; everything else stays hidden. */
#ifndef VORA_EXPORT_H
#define VORA_EXPORT_H

#if defined(__GNUC__)
#define VORA_API __attribute__((visibility("default")))
#else
#define VORA_API
#endif

#endif /* VORA_EXPORT_H */
