#include "upload/UploadContext.h"

#include "platform/base/NoDestructor.h"
#include "platform/net/UrlSession.h"
#include "upload/Outbox.h"

namespace lumvex {

UploadContext UploadContext::process() {
    static platform::NoDestructor<Outbox> outbox(platform::UrlSession::shared());
    return {TraceRepository::shared(), DeviceInfoRepository::shared(), *outbox};
}

}  // namespace lumvex
