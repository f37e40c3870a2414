// The services of namespace "ROOT\WMI": runs "SELECT * FROM <class>" queries.
#include <new>
#include <vector>

#include "core/fault_injection.h"
#include "platform/com/com_object.h"
#include "wmi/repository.h"

namespace platform::detail {
namespace {

bool IsQuerySpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool IsNameCharacter(char16_t c, bool first)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || (!first && c >= u'0' && c <= u'9');
}

// Splits the query at white space; "SELECT * FROM <class>" gives exactly four words.
std::vector<std::u16string_view> WordsOf(std::u16string_view query)
{
    std::vector<std::u16string_view> words;
    std::size_t i = 0;
    while (i < query.size()) {
        if (IsQuerySpace(query[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < query.size() && !IsQuerySpace(query[i])) ++i;
        words.push_back(query.substr(start, i - start));
    }
    return words;
}

// The class of "SELECT * FROM <class>", or nothing for any other text.
bool ParseSelectAll(std::u16string_view query, std::u16string_view* className)
{
    const auto words = WordsOf(query);
    if (words.size() != 4 || !EqualsIgnoringCase(words[0], u"SELECT") || words[1] != u"*" ||
        !EqualsIgnoringCase(words[2], u"FROM")) {
        return false;
    }
    for (std::size_t i = 0; i < words[3].size(); ++i) {
        if (!IsNameCharacter(words[3][i], i == 0)) return false;
    }
    *className = words[3];
    return true;
}

class CWbemServices final : public ComObject<CWbemServices, IWbemServices>, private CountedWmiObject {
public:
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG, IWbemContext*,
                                        IEnumWbemClassObject** ppEnum) override
    {
        if (ppEnum == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppEnum = nullptr;
        if (strQueryLanguage == nullptr || strQuery == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (const auto error = CheckFault("IWbemServices::ExecQuery", static_cast<std::uint32_t>(WBEM_E_FAILED))) {
            return static_cast<HRESULT>(*error);
        }
        if (!EqualsIgnoringCase(ViewOf(strQueryLanguage), u"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        try {
            std::u16string_view className;
            if (!ParseSelectAll(ViewOf(strQuery), &className)) return WBEM_E_INVALID_QUERY;
            std::vector<WmiInstanceRef> instances;
            if (!SnapshotWmiClass(className, &instances)) return WBEM_E_INVALID_CLASS;
            return CreateWbemEnumerator(std::move(instances), ppEnum);
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
};

}  // namespace

HRESULT CreateWbemServices(IWbemServices** out)
{
    return MakeAndQuery<CWbemServices>(IID_IWbemServices, reinterpret_cast<void**>(out));
}

}  // namespace platform::detail
