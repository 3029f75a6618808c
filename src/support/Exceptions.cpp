#include "support/Exceptions.h"

#include "StringTable.h"
#include "platform/CodePages.h"

namespace tolvane {

Exception::Exception(std::u16string AMessage) : fMessage(std::move(AMessage)), fUtf8(platform::WideToUtf8(fMessage)) {}

void RaiseListIndexError(int64_t index) {
  throw EListError(Format(LoadResString(StrId::ListIndexError), {ToU16(std::to_string(index))}));
}

void RaiseAbstractError() { throw EAbstractError(LoadResString(StrId::AbstractError)); }
void RaiseReadError() { throw EReadError(LoadResString(StrId::StreamReadError)); }
void RaiseWriteError() { throw EWriteError(LoadResString(StrId::StreamWriteError)); }

void RaiseInvalidInteger(const std::u16string& text) {
  throw EConvertError(Format(LoadResString(StrId::InvalidInteger), {text}));
}

}  // namespace tolvane
