// What the acquisition object needs of the sensor that receives its readings. The sensor object
// implements it; the acquisition object holds a plain pointer to it and never owns it.
//
// Thread safety: the three operations are called on the reporter thread, one delivery at a time,
// with none of the acquisition object's locks held. The sensor takes its own locks. The sensor must
// stay alive while acquisition threads run (it is registered before they start, and destroyed only
// after they have been stopped).
#pragma once

#include "platform/com/hresult.h"

class ITemperatureSensor {
public:
    // Stores the delivered reading (degrees Celsius, or -1024.0 for no reading) as the sensor's
    // last reading.
    virtual void SetLastReading(double value) = 0;
    // Refreshes the sensor's data fields and state from the acquisition object's latest reading.
    virtual HRESULT UpdateDataFields() = 0;
    // Marks that new data exists and wakes the sensor's event thread while clients are subscribed.
    virtual void SignalNewData() = 0;

protected:
    ~ITemperatureSensor() = default;
};
