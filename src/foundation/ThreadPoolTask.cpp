#include "foundation/ThreadPoolTask.h"

namespace zelto {

unsigned ThreadPoolTask::needToWaitFor() { return 0; }

ThreadPoolTask::~ThreadPoolTask() = default;

void ThreadPoolTask::onError() {}

}  // namespace zelto
