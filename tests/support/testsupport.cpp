#include "testsupport.h"

#include <QProcess>

namespace varn::test {

QByteArray SchemaFaults(const QByteArray& lines) {
    QProcess python;
    python.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import json, sys, jsonschema\n"
                        "v = jsonschema.Draft7Validator(json.load(open(sys.argv[1])))\n"
                        "for n, line in enumerate(sys.stdin, 1):\n"
                        "    for e in v.iter_errors(json.loads(line)):\n"
                        "        print('line %d: %s: %s' % (n, e.message, line.strip()))\n"),
         SourcePath(QStringLiteral("doc/varn-cli-events.schema.json"))});
    python.write(lines);
    python.closeWriteChannel();
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return "python3: " + python.readAllStandardError();
    return python.readAllStandardOutput();
}

} // namespace varn::test
