/* measure.c: the drift of every frame of a folder of TIFF files against the
 * first, one line per frame, through libvantor's sequence engine. */
#include <stdio.h>

#include <vantor/vantor.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 2;
  }
  char pattern[4096];
  snprintf(pattern, sizeof pattern, "%s/*.tif", argv[1]);

  Sequence* sequence = SequenceCreate();
  if (!sequence) {
    fprintf(stderr, "measure: %s\n", mrLastError());
    return 1;
  }
  SequenceOptions options;
  SequenceDefaultOptions(&options); /* each frame against the first */
  if (SequenceAddFiles(sequence, pattern) < 0 ||
      SequenceRun(sequence, &options, NULL, NULL) < 0) {
    fprintf(stderr, "measure: %s\n", mrLastError());
    SequenceFree(sequence);
    return 1;
  }
  for (int32_t k = 1; k <= SequenceCount(sequence); ++k) {
    SequenceFrame f;
    if (SequenceResult(sequence, k, &f) < 0)
      printf("%d: no result\n", (int)k);
    else
      printf("%d %s dx %.3f dy %.3f %s\n", (int)f.frame, f.name, f.dxFirst, f.dyFirst,
             DriftQualityName(f.result.quality));
  }
  SequenceFree(sequence);
  return 0;
}
