#ifndef ZDA_TRANSPORT_ZTPROTOCOLTYPE_H
#define ZDA_TRANSPORT_ZTPROTOCOLTYPE_H

// The stream kinds a link can cut messages from; at most one handler per kind is active on a link.
enum ZtProtocolType {
  ZPT_Zbus = 0,
  ZPT_Nmea = 1,
  ZPT_ImarFsas = 2,
  ZPT_ImarIFog = 3
};

#endif
