// Trace sites of the driver.
//
// Each source file names its component once, with the message GUID under which its sites are
// decoded, and then traces with a level, a message number and a few arguments:
//
//   TRACE_COMPONENT("{8C2F5D10-0F0E-4B51-9E0B-3B3C1A7D6E01}");
//   ...
//   TRACE_ERROR(12, hr);            // one 32-bit integer
//   TRACE_INFO(13, "name", 1.5);    // ANSI text (length includes the terminator), then a double
//
// A site issues a message only while the provider is registered, flag bit 0 is enabled and the
// enabled level reaches the site's level. The message texts are not part of the driver: they live
// in the trace format table (driver/trace_formats/, one file per component), keyed by component
// GUID and number.
//
// Arguments: 32-bit integers (signed or unsigned, HRESULTs, BOOLs), 64-bit integers, doubles, and
// `const char*` texts; at most eight of them. Thread safety: sites may run on any thread.
//
// The trace control: the module's attach registers the provider (RegisterProvider) and its detach
// unregisters it (UnregisterProvider); between them a trace session enables and disables it
// through TraceControlCallback. The control block is written by the callback and read by the sites
// without a lock (its fields are atomic); at worst a site sees a level and flags from either side
// of a change.
#pragma once

#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "platform/com/guid.h"
#include "platform/trace/trace.h"
#include "platform/types.h"

inline constexpr UCHAR TRACE_LEVEL_ERROR = 2;
inline constexpr UCHAR TRACE_LEVEL_WARNING = 3;
inline constexpr UCHAR TRACE_LEVEL_INFORMATION = 4;
inline constexpr UCHAR TRACE_LEVEL_VERBOSE = 5;

namespace trace {

// One argument as the trace provider takes it: an address and a byte length.
struct Argument {
    const void* address;
    std::size_t length;
};

// A text with its terminator; a null text is traced as "NULL".
inline Argument TextArgument(const char* value)
{
    const char* text = value != nullptr ? value : "NULL";
    return {text, std::strlen(text) + 1};
}

template <class T>
Argument ArgumentOf(const T& value)
{
    if constexpr (std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>) {
        return TextArgument(value);  // also a character array, such as a literal
    } else {
        static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 4 || sizeof(T) == 8),
                      "trace arguments are 32- or 64-bit numbers, or texts");
        return {&value, sizeof(T)};
    }
}

inline constexpr std::size_t kMaxArguments = 8;

// Sets the control block to the disabled state, makes it the only registered block, and registers
// the provider. A failed registration is not reported: the driver then runs with tracing off.
// Called by the module's attach, under the loader's serialisation.
void RegisterProvider();
// Unregisters the provider and empties the list of registered blocks: from then on no site issues
// anything. Called by the module's detach.
void UnregisterProvider();

// True when a site of this level would issue a message now.
bool IsEnabled(UCHAR level);
// Issues one message with the provider's logger (the site checked IsEnabled first).
void Emit(const GUID& component, USHORT number, std::initializer_list<Argument> arguments);

template <class... Args>
void Site(UCHAR level, const GUID& component, USHORT number, const Args&... args)
{
    static_assert(sizeof...(Args) <= kMaxArguments, "a trace site carries at most eight arguments");
    if (!IsEnabled(level)) return;
    Emit(component, number, {ArgumentOf(args)...});
}

}  // namespace trace

// The provider's control callback: WMI_ENABLE_EVENTS takes the session's logger handle, level and
// flags into the control block (the context); WMI_DISABLE_EVENTS clears them; any other request
// is refused with ERROR_INVALID_PARAMETER and changes nothing.
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* InOutBufferSize, PVOID Buffer);

#define TRACE_COMPONENT(guidText)                                                                \
    namespace {                                                                                  \
    constexpr GUID kTraceComponent = platform::MakeGuid(guidText);                               \
    }                                                                                            \
    static_assert(true, "")

#define TRACE_ERROR(number, ...) ::trace::Site(TRACE_LEVEL_ERROR, kTraceComponent, (number)__VA_OPT__(, ) __VA_ARGS__)
#define TRACE_WARNING(number, ...) ::trace::Site(TRACE_LEVEL_WARNING, kTraceComponent, (number)__VA_OPT__(, ) __VA_ARGS__)
#define TRACE_INFO(number, ...) ::trace::Site(TRACE_LEVEL_INFORMATION, kTraceComponent, (number)__VA_OPT__(, ) __VA_ARGS__)
#define TRACE_VERBOSE(number, ...) ::trace::Site(TRACE_LEVEL_VERBOSE, kTraceComponent, (number)__VA_OPT__(, ) __VA_ARGS__)
