/* The binary interface of a language text module: a shared library named by the
 * product identifier, the language code and ".dll", exporting
 * DllRegisterServer and a factory of its one class (stem + ".resource"). */
#ifndef DWNFRW_TEXT_MODULE_ABI_H
#define DWNFRW_TEXT_MODULE_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DWNFRW_TEXT_ABI_VERSION 1
#define DWNFRW_TEXT_FACTORY "CreateClassObject"
#define DWNFRW_TEXT_REGISTER "DllRegisterServer"

struct TextObject;

typedef struct TextObjectMethods {
    int32_t abiVersion;
    /* UTF-8 text of *number, or "NOSTRING" when the module has none. The text
     * stays valid as long as the object lives. */
    const char* (*GetString)(struct TextObject* self, int32_t* number);
    /* The module's version text. */
    const char* (*Version)(struct TextObject* self);
    void (*Release)(struct TextObject* self);
} TextObjectMethods;

typedef struct TextObject {
    const TextObjectMethods* methods;
} TextObject;

/* Creates an object of the class named className (compared without regard to
 * letter case); null when the module has no such class. */
typedef TextObject* (*CreateClassObjectFn)(const char* className);
/* Self-registration; returns 0 on success. */
typedef int32_t (*DllRegisterServerFn)(void);

#ifdef __cplusplus
}
#endif

#endif
