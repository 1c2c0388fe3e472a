// The EEPROM field table built from the definition files and the volatile
// EEPROM image laid out from it.
#ifndef TERMBRIDGE_EEPROMINTERFACE_H
#define TERMBRIDGE_EEPROMINTERFACE_H

class TrafficManager;

class EepromInterface {
public:
    explicit EepromInterface(TrafficManager* trafficManager);
    ~EepromInterface();
};

#endif
