// Feeds arbitrary bytes to the three decoders of the collections' wire form. A decoder must end
// every input without a crash, a sanitizer report or a hang. The encoding is canonical: whatever a
// decoder accepts must encode back to the very same bytes. Nothing may outlive the decoded object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform_testing/wpd.h"
#include "transport/values_codec.h"

namespace {

template <class Interface, class Decode, class Encode>
void RoundTrip(std::span<const std::uint8_t> input, Decode decode, Encode encode)
{
    {
        platform::ComPtr<Interface> decoded;
        const HRESULT hr = decode(input, decoded.GetAddressOf());
        if ((decoded == nullptr) != FAILED(hr)) std::abort();
        if (SUCCEEDED(hr)) {
            std::vector<std::uint8_t> encoded;
            if (FAILED(encode(decoded.Get(), &encoded))) std::abort();
            if (encoded.size() != input.size() || !std::equal(encoded.begin(), encoded.end(), input.begin())) {
                std::abort();
            }
        }
    }
    if (platform::testing::LivePortableDeviceCollections() != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    RoundTrip<IPortableDeviceValues>(input, transport::DecodeValues, transport::EncodeValues);
    RoundTrip<IPortableDeviceKeyCollection>(input, transport::DecodeKeys, transport::EncodeKeys);
    RoundTrip<IPortableDeviceValuesCollection>(input, transport::DecodeValuesCollection,
                                               transport::EncodeValuesCollection);
    return 0;
}
