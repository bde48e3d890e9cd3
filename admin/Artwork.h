// The program's pictures, drawn at run time so that the program carries no
// image files: the logo (also the window and tray icon), the splash, and the
// About box's pictures.
#pragma once

#include <QIcon>
#include <QPixmap>

QPixmap TavrinLogo(int size);
QPixmap SourceLogo(int size);
QPixmap AuthorPicture(int size);
QPixmap SplashPicture();
QIcon ApplicationIcon();
