#pragma once
// Metafiles made record by record for tests: a placeable WMF and an EMF of
// width x height units, each a rectangle filled with one colour and inset by
// 10 units on white.
#include <QByteArray>
#include <QColor>

QByteArray Wmf(QColor fill, int width, int height);
QByteArray Emf(QColor fill, int width, int height);
