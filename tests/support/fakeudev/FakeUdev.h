#pragma once
// Test control of the stand-in libudev (FakeLibUdev.cpp). The stand-in is a shared object the
// device library loads by path (ZtUdevTestAccess); this header reaches its state through the one
// C entry point fakeudev_control, so the test executable never links it.
//
// The device tree is a list of nodes, each with a sys path, subsystem, device type, optional
// device node, attributes and an optional parent. An enumeration lists the nodes of the matched
// subsystems (all nodes without a match) in the order they were added. Devices made from a sys
// path are counted until released; the parents a device hands out belong to it, as in libudev.
#include <dlfcn.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace fakeudev {

struct Node {
  std::string syspath;
  std::string subsystem;
  std::string devtype;
  std::string devnode;  // empty: the device has no node (udev_device_get_devnode gives null)
  int parent = -1;      // id of the parent node (from addNode), -1: none
  std::map<std::string, std::string> attributes;
  bool failNew = false;  // udev_device_new_from_syspath fails for this node
};

class Control {
 public:
  // Forgets every node and call record (live objects stay counted).
  virtual void reset() = 0;
  // Returns the node's id.
  virtual int addNode(const Node& node) = 0;
  // Contexts, enumerations and devices made from a sys path that are not released yet.
  virtual int liveObjects() = 0;
  // Releases of objects the caller does not own (a parent, an object already released).
  virtual int misuses() = 0;
  // Successful udev_new calls since the last reset.
  virtual int contextsMade() = 0;

 protected:
  ~Control() = default;
};

// The control of the stand-in at path (ZDA_FAKEUDEV_SO or ZDA_FAKEUDEV_NODEVNODE_SO).
inline Control& control(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(std::string("cannot load ") + path);
  auto entry = reinterpret_cast<Control* (*)()>(dlsym(handle, "fakeudev_control"));
  if (!entry) throw std::runtime_error("fakeudev_control missing");
  // The handle stays open: the stand-in keeps its state for the whole test program.
  return *entry();
}

// A tty under a USB serial adapter: usb_device (devpath, manufacturer) <- interface <- tty.
// Returns the tty node's id. manufacturer null: the USB device has no such attribute.
inline int addUsbSerialPort(Control& c, const std::string& devnode, const std::string& devpath,
                            const char* manufacturer, const std::string& name) {
  Node usb;
  usb.syspath = "/sys/devices/usb/" + devpath;
  usb.subsystem = "usb";
  usb.devtype = "usb_device";
  usb.attributes["devpath"] = devpath;
  if (manufacturer) usb.attributes["manufacturer"] = manufacturer;
  const int usbId = c.addNode(usb);
  Node intf;
  intf.syspath = usb.syspath + "/" + devpath + ":1.0";
  intf.subsystem = "usb";
  intf.devtype = "usb_interface";
  intf.parent = usbId;
  const int intfId = c.addNode(intf);
  Node tty;
  tty.syspath = intf.syspath + "/tty/" + name;
  tty.subsystem = "tty";
  tty.devnode = devnode;
  tty.parent = intfId;
  return c.addNode(tty);
}

}  // namespace fakeudev
