#include "app/ErrorReport.h"

#include "app/MessageBox.h"

std::string WithReportPeriod(const std::string& message)
{
    if (message.empty())
        return message;
    // Back up over UTF-8 continuation bytes to the start of the last character.
    std::size_t start = message.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(message[start]) & 0xC0) == 0x80)
        --start;
    // std::string compares bytes as unsigned, as the rule wants.
    if (message.compare(start, std::string::npos, ".") > 0)
        return message + ".";
    return message;
}

void ShowErrorReport(const std::string& message)
{
    ShowMessageBox(WithReportPeriod(message), ApplicationTitle, MB_ICONSTOP);
}
