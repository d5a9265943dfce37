/* Built against an installed libvantor: registers a smooth picture against a
 * copy displaced by a known amount and checks a loader's error report. */
#include <math.h>
#include <stdio.h>

#include <vantor/vantor.h>

int main(void) {
  const int w = 96, h = 80;
  int32_t a = mrCreate(8, w, h), b = mrCreate(8, w, h);
  if (a < 1 || b < 1) return 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      /* b is a moved by 3 columns right and 2 rows up: b(x, y) = a(x - 3, y - 2). */
      double va = 128 + 60 * sin(x * 0.21) * cos(y * 0.17) + 40 * sin((x + y) * 0.09);
      double vb = 128 + 60 * sin((x - 3) * 0.21) * cos((y - 2) * 0.17) +
                  40 * sin((x - 3 + y - 2) * 0.09);
      mrPutPixel(a, x, y, (int32_t)lround(va));
      mrPutPixel(b, x, y, (int32_t)lround(vb));
    }
  double record[4];
  int32_t mask = CentralMask(b);
  double d = RegisterPair(a, b, mask, record, 4.0, 0.01, 0.0, 512, 0, 3072);
  printf("dx %.3f dy %.3f distance %.3f\n", record[0], record[1], d);
  if (d < 0 || fabs(record[0] + 3) > 0.1 || fabs(record[1] + 2) > 0.1) return 2;
  if (mrReadFile("/nonexistent/picture.tif") != -1 || mrLastLoadError()[0] == '\0') return 3;
  mrFree(mask);
  mrFree(a);
  mrFree(b);
  return 0;
}
