/* The sequence engine: measures the drift of a whole sequence of frames.
 *
 * A sequence is built from frames (files matching a pattern, every page of a
 * multi-page file taken as a frame; or the caller's memory), then run once:
 * frames are loaded and turned into the measurement's working form once each,
 * pairs are measured on the asked-for number of threads with memory bounded
 * by a few frames per thread, and results come back in frame order. Every
 * thread count gives the same results.
 *
 * Conventions as DriftMeasure's: a feature at (x, y) of a frame lies at
 * (x + dx, y + dy) of its reference, y counted from row 0 of the loaded
 * rectangle, which is the bottom row of the picture (for caller memory whose
 * first row is the top, SequenceAddMemory's topRowFirst says so and results
 * keep this same convention).
 *
 * Errors: functions return 0 / a pointer on success and -1 / null on failure,
 * with the cause in the calling thread's error record (generic/errors.h). */
#ifndef VANTOR_SEQUENCE_SEQUENCE_H
#define VANTOR_SEQUENCE_SEQUENCE_H

#include <stdint.h>

#include "generic/vantor_api.h"
#include "registration/drift.h"

VANTOR_BEGIN_C

/* What a frame is measured against. */
enum {
  kSequencePrevious = 0, /* the frame before it (results carry running sums) */
  kSequenceFirst = 1,    /* the first frame of the sequence */
  kSequenceMean = 2,     /* the mean of the first meanFrames frames: frames 2..N
                            are measured against frame 1, moved onto it at full
                            depth (bilinearly, as SequenceAlignMemory) and
                            averaged in floating point, failed pairs left out;
                            every frame, the first included, is then measured
                            against that mean, which lies on frame 1's grid */
  kSequenceTemplate = 3  /* a template image of the frames' size (templatePath,
                            or templateData when the path is null); every
                            frame, the first included, is measured against it */
};

/* Pixel layouts of caller memory. */
enum {
  kSequenceU8 = 0,    /* 8-bit grey */
  kSequenceU16 = 1,   /* 16-bit grey */
  kSequenceF32 = 2,   /* 32-bit float grey */
  kSequenceF64 = 3,   /* 64-bit float grey */
  kSequenceRgb8 = 4,  /* 8-bit red, green, blue */
  kSequenceRgb16 = 5  /* 16-bit red, green, blue */
};

/* What is measured of the z-slices of a hyperstack (SequenceOptions.z; a
 * slice is given by its number from 1). */
enum {
  kSequenceZMax = 0,  /* the maximum over the slices */
  kSequenceZMean = -1 /* the mean over the slices (rounded for whole numbers) */
};

struct SequenceFrame;

typedef struct SequenceOptions {
  int32_t mode;         /* kSequencePrevious or kSequenceFirst */
  DriftOptions drift;   /* method and its parameters */
  int32_t threads;      /* threads measuring pairs; 0: one per processor */
  int32_t firstFrame;   /* results wanted for frames firstFrame..lastFrame */
  int32_t lastFrame;    /* (1-based; 0: the first / the last frame) */
  int32_t keepImages;   /* nonzero: SequenceFrame.image holds the frame at its
                           own depth during the frame callback */
  /* Called in frame order with each wanted frame's final result (classified,
   * as SequenceResult gives it after the run; image 0) as soon as it is final:
   * at once for the classic and precise methods and for failed frames, else
   * once the DriftClassifyWindow() frames after it are known or the run
   * ends. On one thread at a time; a nonzero return stops the run as the
   * frame callback's does. Null: not called. */
  int32_t (*resultCallback)(void* user, const struct SequenceFrame* frame);
  void* resultUser;     /* resultCallback's first argument */
  int64_t maxFrameMemory;  /* bytes one file frame may take: decoded picture,
                              the method's working copies and the decoder's
                              buffers, checked before any pixel is decoded (a
                              frame over it fails the run, kind FORMAT). 0: a
                              quarter of the physical memory divided by the
                              threads, at most the image store's limit
                              (SequenceFrameBudget) */
  const char* maxFrameMemoryName; /* how the caller's users set the budget,
                              named when a frame is over it; may be null */
  /* Of a hyperstack's time points (files whose pages are channels and
   * z-slices, mrStackAxes): the channel measured, from 1 (0: the first), and
   * kSequenceZMax, kSequenceZMean or a slice from 1. One beyond a file's is
   * refused (kind PARAMETER, naming the file's count). */
  int32_t channel;
  int32_t z;
  /* The fixed references other than the first frame (mode kSequenceMean or
   * kSequenceTemplate). Their results: reference 0, and frame 1's row is a
   * measurement like the others; dxFirst/dyFirst are the displacements
   * against the reference (for the mean: from the first frame, on whose grid
   * it lies). A reference that cannot be made fails the run before any
   * result, with a message starting "reference LABEL: " (LABEL mean:N, the
   * template's path, or "array" for memory): kind PARAMETER for a mean of
   * more frames than the sequence holds or a template of another size than
   * frame 1; the loader's kind (FILE, FORMAT) for a template that cannot be
   * read. Not with SequenceFollow for the mean. */
  int32_t meanFrames;       /* kSequenceMean: N, 1 to the number of frames */
  const char* templatePath; /* kSequenceTemplate: the template's file (its
                               first page), loaded as the frames are */
  const void* templateData; /* kSequenceTemplate without a path: the template
                               in memory, as SequenceAddMemory takes a frame
                               (borrowed during the run) */
  int32_t templateWidth, templateHeight;
  int64_t templateStride;
  int32_t templateLayout;
  int32_t templateTopRowFirst;
} SequenceOptions;

/* Fills *options with the program's defaults: mode kSequenceFirst, the
 * precise method, start step 4, final step 0.05, minimum difference 3,
 * coarse size 512, mask fraction 0.5, one thread per processor, all frames. */
VANTOR_API void SequenceDefaultOptions(SequenceOptions* options);

/* One frame's result. */
typedef struct SequenceFrame {
  int32_t frame;          /* 1-based position in the sequence */
  int32_t reference;      /* the frame it was measured against (0 for the
                             first, and for a mean or template reference) */
  DriftResult result;     /* the pair's measurement (the first frame against
                             itself: zeros, ok) */
  double dxFirst, dyFirst;/* displacement from the first frame (mode
                             kSequencePrevious: the running sums; a template:
                             against the template; with a motion model the
                             pairs' motions composed, the displacement of the
                             frame's centre) */
  double matrixFirst[4];  /* the motion model's matrix from the first frame
                             (a11, a12, a21, a22; composed in mode
                             kSequencePrevious; the identity for translation) */
  int32_t width, height;  /* the frame's size (0 when it could not be loaded) */
  int32_t image;          /* the frame at its own depth while the frame callback
                             runs (keepImages), else 0 */
  const char* name;       /* the frame's name: the file's name, "name[k]" for
                             page k of a multi-page file, "" for memory */
  const char* path;       /* the file's path ("" for memory) */
  int32_t page;           /* 1-based page of a multi-page file, 0 otherwise */
  const char* reason;     /* why the frame failed ("" otherwise) */
  int32_t outOfOrder;     /* SequenceFollow: nonzero when the frame's file name
                             sorts before that of a frame that arrived earlier
                             (the sequence keeps the order of arrival) */
  int32_t timePoint;      /* 1-based time point of a hyperstack (name
                             "name[t=k]"; page: its first page), 0 otherwise */
} SequenceFrame;

/* Called in frame order as soon as a frame's displacement from the first is
 * known (before the sequence is classified: quality is ok, rescued or failed);
 * the place to write an aligned copy from `image`. Called on one thread at a
 * time. A nonzero return stops the run (SequenceRun fails, kind FAILED). */
typedef int32_t (*SequenceFrameCallback)(void* user, const SequenceFrame* frame);

typedef struct Sequence Sequence;

/* An empty sequence. */
VANTOR_API Sequence* SequenceCreate(void);
VANTOR_API void SequenceFree(Sequence* sequence);

/* Appends the files that match pattern (a path whose last part may hold * and
 * ?; sorted as GetAlphaFilesList sorts), every page of a multi-page file as a
 * frame, every time point of a hyperstack (an ImageJ or OME-TIFF file, see
 * mrStackAxes; a file of slices only takes them as time points) as a frame.
 * Returns the number of frames added; -1 when nothing matches (kind FILE),
 * an OME-TIFF is a set of several files (kind FORMAT) or memory is short. */
VANTOR_API int32_t SequenceAddFiles(Sequence* sequence, const char* pattern);

/* Appends one frame of caller memory (rows `stride` bytes apart, positive;
 * pixels as `layout`). The memory is borrowed until SequenceRun returns.
 * topRowFirst nonzero: row 0 is the top of the picture. Returns 0 or -1. */
VANTOR_API int32_t SequenceAddMemory(Sequence* sequence, const void* data, int32_t width,
                                     int32_t height, int64_t stride, int32_t layout,
                                     int32_t topRowFirst);

/* The number of frames added. */
VANTOR_API int32_t SequenceCount(const Sequence* sequence);

/* Measures the sequence. Results for every frame are afterwards read with
 * SequenceResult; frameCallback (may be null) sees the wanted frames in order
 * as they become known. Returns the number of frames measured; -1 when the
 * run stopped: a frame could not be loaded (kind FILE or FORMAT; results
 * hold the frames before it, SequenceFailedFrame names it), memory ran out
 * (kind MEMORY; no result is kept), the callback stopped it, or (kind
 * PARAMETER, no result kept) the start or final step is larger than the first
 * frame's larger side, which no method but the classic search takes. Frames that
 * load but cannot be measured are results with quality kDriftFailed. */
VANTOR_API int32_t SequenceRun(Sequence* sequence, const SequenceOptions* options,
                               SequenceFrameCallback frameCallback, void* user);

/* How SequenceFollow watches a folder. */
typedef struct SequenceFollowOptions {
  double idleSeconds;          /* following ends when no new frame has come for
                                  this long (counted from the start, then from
                                  the newest frame's arrival) */
  const volatile int32_t* stop;/* may be null: once nonzero, the run ends at
                                  once (read every 50 ms at least; frames not
                                  yet started are left out); for a signal handler */
  int32_t polling;             /* nonzero: look at the folder every 50 ms rather
                                  than being told of changes (chosen anyway
                                  where the system cannot tell) */
} SequenceFollowOptions;

/* Fills *follow with idle 60 seconds, no stop flag, no polling. */
VANTOR_API void SequenceDefaultFollowOptions(SequenceFollowOptions* follow);

/* Measures the files that match pattern as they are written: those already
 * complete first (in name order), then each new matching file, appended as
 * soon as it is complete (its size steady, closed by its writer or untouched
 * for half a second, and for TIFF, PNG, BMP and JPEG all of its data
 * present: a file is never read half-written). New files keep the order of
 * arrival (outOfOrder marks a name sorting before an earlier frame's). Frames
 * already in the sequence (SequenceAddFiles) come first and their files are
 * not taken again; the sequence may be empty. Following ends after
 * idleSeconds without a new frame, when the stop flag is set, or when a file
 * named STOP is in the folder; then the run finishes as SequenceRun does
 * (classification, SequenceResult), with the frames that came. The
 * callbacks, options and return as SequenceRun's; -1 with kind FILE when no
 * frame came at all. */
VANTOR_API int32_t SequenceFollow(Sequence* sequence, const char* pattern,
                                  const SequenceFollowOptions* follow,
                                  const SequenceOptions* options,
                                  SequenceFrameCallback frameCallback, void* user);

/* Frame k's final result (1-based, classified), valid until the next run or
 * SequenceFree. -1 when k has no result. */
VANTOR_API int32_t SequenceResult(const Sequence* sequence, int32_t k, SequenceFrame* out);

/* Frame k's name, path and page (1-based; before or after a run; the other
 * fields zero). -1 when there is no frame k. */
VANTOR_API int32_t SequenceDescribe(const Sequence* sequence, int32_t k, SequenceFrame* out);

/* The frame whose loading stopped the last run (1-based), 0 when none did. */
VANTOR_API int32_t SequenceFailedFrame(const Sequence* sequence);

/* Moves each frame of caller memory (the frames added with SequenceAddMemory,
 * in order) onto the first: output pixel (x, y) of frame k is the frame
 * resampled at (x - dx[k], y - dy[k]) by ResampleAffine (improc/resample.h:
 * interpolation kResampleCubic, kResampleLinear or kResampleNearest; `fill`
 * wherever that position lies outside the frame, on every side alike), written
 * to targets[k] (rows targetStrides[k] bytes apart, the frame's layout and
 * size). x and y count as the memory lies (for memory whose first row is the
 * top, y counts rows down). On `threads` threads (0: one per processor);
 * every thread count writes the same pixels. Returns 0, or -1 (kind
 * PARAMETER for a sequence that holds files, an interpolation not listed or
 * a fill outside a frame's sample range; MEMORY). */
VANTOR_API int32_t SequenceAlignMemory(Sequence* sequence, const double* dx, const double* dy,
                                       void* const* targets, const int64_t* targetStrides,
                                       int32_t interpolation, double fill, int32_t threads);

/* SequenceAlignMemory with each frame's whole motion undone: frame k's
 * matrix from the first (the four doubles matrices[4 k] .. [4 k + 3], a11,
 * a12, a21, a22 as SequenceFrame's matrixFirst has them, y counting as the
 * memory lies) about the frame's centre with the displacement (dx[k],
 * dy[k]); output pixel q takes the frame at M^-1 (q - c - d) + c, the
 * program's --aligned resampling (ResampleMotionMatrix). matrices null: the
 * identity. Fails as SequenceAlignMemory does, and with kind PARAMETER for a
 * singular matrix. */
VANTOR_API int32_t SequenceAlignMemoryMotion(Sequence* sequence, const double* dx, const double* dy,
                                             const double* matrices, void* const* targets,
                                             const int64_t* targetStrides, int32_t interpolation,
                                             double fill, int32_t threads);

/* The budget of one frame in bytes for maxFrameMemory and threads as
 * SequenceOptions has them (threads 0: one per processor). */
VANTOR_API int64_t SequenceFrameBudget(int64_t maxFrameMemory, int32_t threads);

/* The number of processors this process may run on (the default thread count). */
VANTOR_API int32_t SequenceProcessorCount(void);

/* The 8-bit grey rectangle a sequence compares for page `page` (1-based; 0
 * for a file of one) of a file: a new handle, or -1 with the cause recorded. */
VANTOR_API int32_t SequenceReadGrey(const char* path, int32_t page);

VANTOR_END_C

#endif
