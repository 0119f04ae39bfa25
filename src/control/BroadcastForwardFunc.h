#pragma once
// Applies one ZtDevice member operation, with its arguments, to every master device of the
// broadcast device's control, in list order; the results are ANDed (true for no devices) and a
// failing device does not stop the walk. The walk runs over a snapshot that holds each master
// (no lock held while a device is called), so a master closed meanwhile is still called once and
// terminated afterwards. Ends with the control's lastResult at success.
#include <type_traits>

#include "device/ZtDevice.h"

class BroadcastDevice;

class BroadcastForwardFunc {
 public:
  explicit BroadcastForwardFunc(BroadcastDevice& broadcast) : m_broadcast(broadcast) {}
  virtual ~BroadcastForwardFunc() = default;
  BroadcastForwardFunc(const BroadcastForwardFunc&) = delete;
  BroadcastForwardFunc& operator=(const BroadcastForwardFunc&) = delete;

  // The operation on one device.
  virtual bool call(ZtDevice* device) = 0;
  bool operator()();

 protected:
  BroadcastDevice& m_broadcast;
};

class BroadcastForwardFunc0Arg : public BroadcastForwardFunc {
 public:
  using Member = bool (ZtDevice::*)();
  BroadcastForwardFunc0Arg(BroadcastDevice& broadcast, Member member) : BroadcastForwardFunc(broadcast), m_member(member) {}
  bool call(ZtDevice* device) override { return (device->*m_member)(); }

 private:
  Member m_member;
};

class BroadcastForwardFunc0ArgVoid : public BroadcastForwardFunc {
 public:
  using Member = void (ZtDevice::*)();
  BroadcastForwardFunc0ArgVoid(BroadcastDevice& broadcast, Member member)
      : BroadcastForwardFunc(broadcast), m_member(member) {}
  bool call(ZtDevice* device) override {
    (device->*m_member)();
    return true;
  }

 private:
  Member m_member;
};

// T is the parameter type as declared (a const reference stays a reference to the caller's
// argument, which outlives the walk).
template <typename T>
class BroadcastForwardFunc1Arg : public BroadcastForwardFunc {
 public:
  using Member = bool (ZtDevice::*)(T);
  BroadcastForwardFunc1Arg(BroadcastDevice& broadcast, Member member, T argument)
      : BroadcastForwardFunc(broadcast), m_member(member), m_argument(argument) {}
  bool call(ZtDevice* device) override { return (device->*m_member)(m_argument); }

 private:
  Member m_member;
  T m_argument;
};

template <typename T>
class BroadcastForwardFunc1ArgVoid : public BroadcastForwardFunc {
 public:
  using Member = void (ZtDevice::*)(T);
  BroadcastForwardFunc1ArgVoid(BroadcastDevice& broadcast, Member member, T argument)
      : BroadcastForwardFunc(broadcast), m_member(member), m_argument(argument) {}
  bool call(ZtDevice* device) override {
    (device->*m_member)(m_argument);
    return true;
  }

 private:
  Member m_member;
  T m_argument;
};

template <typename T1, typename T2>
class BroadcastForwardFunc2Arg : public BroadcastForwardFunc {
 public:
  using Member = bool (ZtDevice::*)(T1, T2);
  BroadcastForwardFunc2Arg(BroadcastDevice& broadcast, Member member, T1 first, T2 second)
      : BroadcastForwardFunc(broadcast), m_member(member), m_first(first), m_second(second) {}
  bool call(ZtDevice* device) override { return (device->*m_member)(m_first, m_second); }

 private:
  Member m_member;
  T1 m_first;
  T2 m_second;
};

class ForwardConstFunc : public BroadcastForwardFunc {
 public:
  using Member = bool (ZtDevice::*)() const;
  ForwardConstFunc(BroadcastDevice& broadcast, Member member) : BroadcastForwardFunc(broadcast), m_member(member) {}
  bool call(ZtDevice* device) override { return (device->*m_member)(); }

 private:
  Member m_member;
};

template <typename T>
class ForwardConstFunc1Arg : public BroadcastForwardFunc {
 public:
  using Member = bool (ZtDevice::*)(T) const;
  ForwardConstFunc1Arg(BroadcastDevice& broadcast, Member member, T argument)
      : BroadcastForwardFunc(broadcast), m_member(member), m_argument(argument) {}
  bool call(ZtDevice* device) override { return (device->*m_member)(m_argument); }

 private:
  Member m_member;
  T m_argument;
};
