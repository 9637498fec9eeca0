#include "common/system_error.h"

#include <cstring>

#include "common/visible_text.h"

std::string SystemErrorText(int number) {
    if (number == kNotRegularFile) {
        return "通常のﾌｧｲﾙではありません";
    }
    if (number == kLinkInSharedFolder) {
        return "ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞのﾘﾝｸは使えません";
    }
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in `buffer`.
    return VisibleText(strerror_r(number, buffer, sizeof buffer));
}
