#pragma once
// Turns a device id into a device object of the right class: two tables from type id to
// constructor (masters, which own a port or log file, and children behind a station or bus
// master), the classification of an id, and construction with initialisation and undo.
// The derived class (the control) supplies removeExistingDevice and the initialize hook.
// No lock: masters are made on the thread that opens a port, children on the thread that finds
// them; tables change only while the factory is built.
#include <cstddef>
#include <map>

#include "zttypes/ztdeviceid.h"

class Communicator;
class DeviceFactory;
class ZtDevice;

class DeviceFactory {
 public:
  // A master constructor allocates a device over the link; a child constructor allocates a
  // child of the master (which lists it). Both throw what the device's constructor throws,
  // after the memory is freed.
  using MasterConstructor = ZtDevice* (*)(DeviceFactory& factory, Communicator* communicator);
  using ChildConstructor = ZtDevice* (*)(ZtDevice& master, const ZtDeviceId& deviceId);

  // Type ids of the classification.
  enum TypeId : unsigned int {
    kUnknown = 0,
    kZbusMaster = 1,
    kTovanaStation = 2,
    kTovanaDongle = 3,
    kTovanaOem = 4,
    kKtix = 10,
    kLegacyKtig = 11,
    kKtw = 12,
    kKtMk4 = 20,
    kKtMk4X00 = 21,
    kKtMk4_700 = 22,
    kKtx2 = 30,
    kImarIFog = 100,
    kImarFsas = 101,
  };

  // One row of the built-in device classes (see knownDeviceTypes).
  struct DeviceTypeRow {
    unsigned int typeId;
    MasterConstructor master;  // may be null
    ChildConstructor child;    // may be null
  };

  DeviceFactory();
  virtual ~DeviceFactory();
  DeviceFactory(const DeviceFactory&) = delete;
  DeviceFactory& operator=(const DeviceFactory&) = delete;

  // Null for a null link; otherwise the device of the link's master device id. With initialize
  // set the hook decides: refused, the device is released (or, when none was made, the link is
  // deleted) and the result is null.
  virtual ZtDevice* createMasterDevice(Communicator* communicator, bool initialize);
  // Takes away an existing device with the id first; a refused child leaves its master's list.
  virtual ZtDevice* createChildDevice(const ZtDeviceId& deviceId, ZtDevice& master, bool initialize);
  virtual unsigned int deviceToTypeId(const ZtDeviceId& deviceId) const;
  virtual void removeExistingDevice(const ZtDeviceId& deviceId) = 0;
  // A new device with one reference taken, or null (type 0 or no constructor for the type).
  virtual ZtDevice* constructDevice(unsigned int typeId, Communicator* communicator);
  virtual ZtDevice* constructDevice(const ZtDeviceId& deviceId, ZtDevice& master);
  // True when the device is ready for use; false for null.
  virtual bool initializeDevice(ZtDevice* device) const = 0;

  // True at once for an initialised device, else the hook's answer.
  bool initializeDevice(ZtDevice& device) const;
  // The first registration of a type id stays: false when the id is present already.
  bool registerMasterDeviceType(unsigned int typeId, MasterConstructor constructor);
  bool registerChildDeviceType(unsigned int typeId, ChildConstructor constructor);

  // The built-in device classes, masters and children in registration order. Kept with the
  // device classes, above this layer, so the device model names none of them.
  static const DeviceTypeRow* knownMasterTypes(size_t& count);
  static const DeviceTypeRow* knownChildTypes(size_t& count);

 protected:
  void registerDevices();

 private:
  std::map<unsigned int, MasterConstructor> m_masterTable;
  std::map<unsigned int, ChildConstructor> m_childTable;
};

// The constructor convention of device classes: allocate and construct; a throwing constructor
// frees the memory and the exception goes on (plain new does both).
template <typename T>
ZtDevice* constructAsMasterDevice(DeviceFactory& factory, Communicator* communicator) {
  return new T(factory, communicator);
}
template <typename T>
ZtDevice* constructAsChildDevice(ZtDevice& master, const ZtDeviceId& deviceId) {
  return new T(&master, deviceId);
}
