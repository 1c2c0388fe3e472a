#include "eeprominterface.h"

EepromInterface::EepromInterface(TrafficManager* /*trafficManager*/) {}

EepromInterface::~EepromInterface() = default;
