// SPDX-License-Identifier: MIT
// Draws an SVG file into a PNG at build time, the way Qt's SVG image plugin
// and icon engine draw it at run time, so that the program itself loads no SVG
// code when it starts.
//
// usage: render_svg <input.svg> <output.png> [<size> | <width>x<height>]
// Without a size the picture gets the size the SVG declares.

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>
#include <QStringList>
#include <QSvgRenderer>
#include <QXmlStreamReader>

#include <cstdio>

namespace {
int fail(const QString &text)
{
    std::fprintf(stderr, "render_svg: %s\n", qPrintable(text));
    return 1;
}

// "64" or "391x261"; an invalid size if the text is neither.
QSize parseSize(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okW = false;
    bool okH = false;
    const int w = parts.value(0).toInt(&okW);
    const int h = parts.size() == 1 ? w : parts.value(1).toInt(&okH);
    if (!okW || (parts.size() == 2 && !okH) || parts.size() > 2 || w <= 0 || h <= 0)
        return {};
    return {w, h};
}

// The font families the drawing names that are not installed. Without them the
// text would be drawn in a stand-in font and baked into the program that way.
QStringList missingFonts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList missing;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QString family = xml.attributes().value(QLatin1String("font-family")).toString();
        if (family.isEmpty())
            continue;
        bool any = false;
        for (QString name : family.split(QLatin1Char(','))) {
            name = name.trimmed().remove(QLatin1Char('\'')).remove(QLatin1Char('"'));
            any = any || QFontDatabase::hasFamily(name);
        }
        if (!any && !missing.contains(family))
            missing.append(family);
    }
    return missing;
}
}

int main(int argc, char *argv[])
{
    // Text needs the font database and so a GUI application, but no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 3 || args.size() > 4)
        return fail(QStringLiteral("usage: render_svg <input.svg> <output.png> [<size> | <width>x<height>]"));
    const QString input = args.at(1);
    const QString output = args.at(2);

    QSvgRenderer renderer(input);
    if (!renderer.isValid())
        return fail(QStringLiteral("%1 is not a readable SVG file; check the file and build again").arg(input));
    const QStringList missing = missingFonts(input);
    if (!missing.isEmpty())
        return fail(QStringLiteral("%1 is drawn in %2, not installed here; install it (for Liberation: Debian "
                                   "package fonts-liberation2) and build again")
                        .arg(input, missing.join(QStringLiteral(", "))));

    QSize size = renderer.defaultSize();
    if (args.size() == 4) {
        const QSize wanted = parseSize(args.at(3));
        if (!wanted.isValid())
            return fail(QStringLiteral("size '%1' is neither <size> nor <width>x<height>").arg(args.at(3)));
        // As the icon engine does: keep the drawing's proportions inside the size asked for.
        size = size.scaled(wanted, Qt::KeepAspectRatio);
    }
    if (size.isEmpty())
        return fail(QStringLiteral("%1 declares no size; give one on the command line").arg(input));

    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();

    // An opaque picture is stored and later drawn without an alpha channel.
    bool opaque = true;
    for (int y = 0; y < image.height() && opaque; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width() && opaque; ++x)
            opaque = qAlpha(line[x]) == 255;
    }
    if (opaque)
        image = image.convertToFormat(QImage::Format_RGB32);

    // Through a temporary file: an interrupted build leaves no half-written picture.
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    QImageWriter writer(&file, "png");
    if (!writer.write(image))
        return fail(QStringLiteral("cannot write %1: %2").arg(output, writer.errorString()));
    if (!file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    return 0;
}
