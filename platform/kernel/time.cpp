#include "platform/kernel/time.h"

#include "core/clock.h"
#include "core/fault_injection.h"
#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

using namespace platform::detail;

namespace {

constexpr std::int64_t kTicksPerDay = 86'400 * kTicksPerSecond;

// Days since 1601-01-01 of a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 134774;  // 134774: 1601 to 1970
}

void CivilFromDays(std::int64_t days, SYSTEMTIME* st)
{
    const std::int64_t z = days - 134774 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    st->wYear = static_cast<WORD>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

void ToFileTime(std::int64_t ticks, LPFILETIME ft)
{
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks));
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
}

void ToSystemTime(std::int64_t ticks, LPSYSTEMTIME st)
{
    CivilFromDays(ticks / kTicksPerDay, st);
    std::int64_t rest = ticks % kTicksPerDay;
    st->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    rest %= 3600 * kTicksPerSecond;
    st->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
    rest %= 60 * kTicksPerSecond;
    st->wSecond = static_cast<WORD>(rest / kTicksPerSecond);
    st->wMilliseconds = static_cast<WORD>((rest % kTicksPerSecond) / kTicksPerMillisecond);
}

}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    lpPerformanceCount->QuadPart = ReadMonotonicClock();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    lpFrequency->QuadPart = kTicksPerSecond;
    return TRUE;
}

ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(ReadMonotonicClock() / kTicksPerMillisecond); }

void GetSystemTime(LPSYSTEMTIME lpSystemTime) { ToSystemTime(ReadSystemClock(), lpSystemTime); }

void GetSystemTimeAsFileTime(LPFILETIME lpFileTime) { ToFileTime(ReadSystemClock(), lpFileTime); }

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft)
{
    if (const auto error = CheckFault("SystemTimeToFileTime", ERROR_INVALID_PARAMETER)) {
        SetLastError(*error);
        return FALSE;
    }
    if (st == nullptr || ft == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::int64_t ticks = DaysFromCivil(st->wYear, st->wMonth, st->wDay) * kTicksPerDay +
                               ((st->wHour * 60 + st->wMinute) * 60 + st->wSecond) * kTicksPerSecond +
                               st->wMilliseconds * kTicksPerMillisecond;
    ToFileTime(ticks, ft);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st)
{
    if (ft == nullptr || st == nullptr || (ft->dwHighDateTime & 0x80000000u) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ToSystemTime(static_cast<std::int64_t>((static_cast<std::uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime), st);
    return TRUE;
}
