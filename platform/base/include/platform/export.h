// What libplatform.so exports. The library is built with hidden visibility, so a name is public
// only when a public header marks it: one name with PLATFORM_API, or every name a header declares
// between PLATFORM_API_BEGIN and PLATFORM_API_END.
#pragma once

#define PLATFORM_API __attribute__((visibility("default")))
#define PLATFORM_API_BEGIN _Pragma("GCC visibility push(default)")
#define PLATFORM_API_END _Pragma("GCC visibility pop")
