#pragma once

#include <QString>

namespace varn {

// varn-cli's manual page in roff: the hand-written page with its comment
// lines '.\" generated: operations', '... options' and '... exit status'
// replaced by the rows --help prints (clioptions.cpp, exitstatus.h), so the
// two never disagree.
QString CliManPage(const QString& pageTemplate);

// The README's exit-status table in Markdown, from the same rows.
QString StatusTableMarkdown();
// readme with the table that starts at its line "| Status | Meaning |"
// replaced by StatusTableMarkdown() (unchanged when it has none).
QString WithStatusTable(const QString& readme);

} // namespace varn
