#include "filters/common/ZkfFilterBase.h"

#include "foundation/JournalMacros.h"

ZkfFilterBase::ZkfFilterBase(const Identity& identity) : m_identity(identity) {}

ZkfFilterBase::~ZkfFilterBase() = default;

const char* ZkfFilterBase::svnRevision() const { return m_identity.svnRevision; }

char ZkfFilterBase::type() const { return m_identity.type; }

void ZkfFilterBase::getVersion(int& major, int& minor, int& revision) const {
  major = m_identity.major;
  minor = m_identity.minor;
  revision = m_identity.revision;
}

void ZkfFilterBase::typeAndVersion(const Identity& identity, unsigned char& type, unsigned char& major,
                                   unsigned char& minor, unsigned char& revision) {
  type = static_cast<unsigned char>(identity.type);
  major = static_cast<unsigned char>(identity.major);
  minor = static_cast<unsigned char>(identity.minor);
  revision = static_cast<unsigned char>(identity.revision);
}

void ZkfFilterBase::journalOnce(unsigned bit, const char* what) {
  if ((m_journalled & bit) != 0) return;
  m_journalled |= bit;
  JLOG_ALERT(what);
}
