/* Built against an installed libvantor: registers a smooth picture against a
 * copy displaced by a known amount and checks a loader's error report. Given
 * a folder, it then writes three frames of that picture there for measure.c:
 * frame k displaced by (k - 1) x (3, 2) pixels. */
#include <math.h>
#include <stdio.h>

#include <vantor/vantor.h>

enum { kWidth = 96, kHeight = 80 };

/* The picture moved by (sx, sy): p(x, y) = picture(x - sx, y - sy). */
static int32_t Picture(double sx, double sy) {
  int32_t p = mrCreate(8, kWidth, kHeight);
  if (p < 1) return -1;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      double u = x - sx, v = y - sy;
      double value = 128 + 60 * sin(u * 0.21) * cos(v * 0.17) + 40 * sin((u + v) * 0.09);
      mrPutPixel(p, x, y, (int32_t)lround(value));
    }
  return p;
}

int main(int argc, char** argv) {
  int32_t a = Picture(0, 0), b = Picture(3, 2);
  if (a < 1 || b < 1) return 1;
  double record[4];
  int32_t mask = CentralMask(b);
  double d = RegisterPair(a, b, mask, record, 4.0, 0.01, 0.0, 512, 0, 3072);
  printf("dx %.3f dy %.3f distance %.3f\n", record[0], record[1], d);
  if (d < 0 || fabs(record[0] + 3) > 0.1 || fabs(record[1] + 2) > 0.1) return 2;
  if (mrReadFile("/nonexistent/picture.tif") != -1 || mrLastLoadError()[0] == '\0') return 3;
  mrFree(mask);
  mrFree(a);
  mrFree(b);

  for (int k = 1; argc > 1 && k <= 3; ++k) {
    char path[4096];
    snprintf(path, sizeof path, "%s/frame%d.tif", argv[1], k);
    int32_t frame = Picture(3.0 * (k - 1), 2.0 * (k - 1));
    /* Last row first: the file reads back into the same rectangle. */
    if (frame < 1 || mrWriteToFileTIFF(frame, path, 1, NULL) < 0) return 4;
    mrFree(frame);
  }
  return 0;
}
