#include "util/errreport.h"

#include <new>
#include <system_error>

#include "util/appfiles.h"
#include "util/codepage.h"

std::u16string ErrorDescription(int32_t number) {
  switch (number) {
    case ErrNo::InvalidCall: return u"プロシージャの呼び出し、または引数が不正です。";
    case ErrNo::Overflow: return u"オーバーフローしました。";
    case ErrNo::OutOfMemory: return u"メモリが不足しています。";
    case ErrNo::FileNotFound: return u"ファイルが見つかりません。";
    case ErrNo::FileAccess: return u"ファイルを書き込めません。";
    case ErrNo::ProcessStart: return u"コマンドを起動できません。";
    case ErrNo::CodePage: return u"文字をコードページに変換できません。";
    case ErrNo::UntrustedFile: return u"他のユーザが書き換えられるファイルは起動しません。";
    default: return u"予期しないエラーです。";
  }
}

VkError::VkError(int32_t number, std::u16string description)
    : failure_{number, AppName(), description.empty() ? ErrorDescription(number) : std::move(description)} {}

Failure CurrentFailure() {
  try {
    throw;
  } catch (const VkError& e) {
    return e.failure();
  } catch (const std::bad_alloc&) {
    return Failure{ErrNo::OutOfMemory, AppName(), ErrorDescription(ErrNo::OutOfMemory)};
  } catch (const std::exception& e) {
    return Failure{ErrNo::Unexpected, AppName(), FromUtf8(e.what())};
  } catch (...) {
    return Failure{ErrNo::Unexpected, AppName(), ErrorDescription(ErrNo::Unexpected)};
  }
}

std::u16string BuildErrorReport(std::u16string_view tag, const Failure& f, NumberForm form, ReportLayout layout) {
  std::u16string r(tag);
  r += u"エラー番号 :";
  std::string num = std::to_string(f.number);
  if (form == NumberForm::Signed && f.number >= 0) r += u' ';
  r += std::u16string(num.begin(), num.end());
  r += u" -- ";
  r += f.source;
  r += u" でエラーが発生しました。 ";
  switch (layout) {
    case ReportLayout::A: break;
    case ReportLayout::B: r += u"\r\n"; break;
    case ReportLayout::C: r += u"  \r\n"; break;
  }
  r += f.description;
  if (layout == ReportLayout::C) r += u" ： ";
  return r;
}
