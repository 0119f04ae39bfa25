#ifndef ZDA_TRANSPORT_REPLYOBJECTREMOVER_H
#define ZDA_TRANSPORT_REPLYOBJECTREMOVER_H

class ReplyObject;

namespace zelto {

// What a reply handle needs from the list its object waits in: taking the object out before it is
// deleted.
class ReplyObjectRemover {
public:
  // Takes object out of the waiting list; nothing when it is not listed (any more).
  virtual void removeObject(ReplyObject* object) = 0;

protected:
  ~ReplyObjectRemover() = default;
};

}  // namespace zelto

#endif
