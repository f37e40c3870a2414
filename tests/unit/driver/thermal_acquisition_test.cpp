#include "acquisition/thermal_acquisition.h"

#include <gtest/gtest.h>

#include "sim/power_source.h"

namespace {

// The process-wide object was made while the binary loaded, with no map files on the machine.
TEST(ThermalAcquisition, GetThermalAcquisition_GivesTheOneObjectWithItsLoadedMap)
{
    CThermalAcquisition* acquisition = GetThermalAcquisition();
    ASSERT_NE(acquisition, nullptr);
    EXPECT_EQ(acquisition, GetThermalAcquisition());

    const std::uint8_t previous = sim::AcLineStatus();
    sim::SetAcLineStatus(sim::kAcOnline);
    double out = CThermalMap::kNoReading;
    acquisition->ThermalMap().Lookup(854, &out);
    EXPECT_EQ(out, 0.0);
    sim::SetAcLineStatus(previous);
}

}  // namespace
