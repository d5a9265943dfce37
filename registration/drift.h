/* Drift measurement of image sequences: the registration search of
 * RegisterPair with a global check that rescues pairs the local search lost,
 * and a precise sub-pixel method on the frames' full depth. Frames are
 * prepared once (pyramid, full-depth grey, reference data) and then measured
 * pair by pair; a sequence's results are classified afterwards.
 *
 * Conventions as RegisterPair's: a feature at (x, y) of the current frame lies
 * at (x + dx, y + dy) of the reference; y counts rows from row 0 of the
 * rectangle (the bottom row of a picture loaded from a file). The comparison
 * covers the central rectangle that CentralMaskFraction makes for the mask
 * fraction of the options a frame is prepared with (the stored fraction of
 * SetMaskFraction is not used).
 *
 * Errors: functions return 0 / a pointer on success and -1 / null on failure,
 * with the cause in the per-thread error record (generic/errors.h); DriftMeasure
 * marks a pair that cannot be measured with distance -1. A shortage of memory
 * fails the whole call (kind VANTOR_ERROR_MEMORY), never half a measurement. */
#ifndef VANTOR_REGISTRATION_DRIFT_H
#define VANTOR_REGISTRATION_DRIFT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Methods. */
enum {
  kDriftClassic = 0, /* RegisterPair alone, as the batch program always did */
  kDriftDefault = 1, /* RegisterPair, then the global check and rescue */
  kDriftPrecise = 2  /* global whole-pixel start, robust sub-pixel refinement */
};

/* Motion models of the precise method: what a frame may do besides moving.
 * Every model other than translation turns and scales about the frame's
 * centre c = ((w - 1) / 2, (h - 1) / 2): a feature at p of the current frame
 * lies at M (p - c) + c + (dx, dy) of the reference. */
enum {
  kDriftTranslation = 0, /* M the identity: the displacement alone */
  kDriftRigid = 1,       /* M a rotation */
  kDriftSimilarity = 2,  /* M a rotation and a uniform scale */
  kDriftAffine = 3       /* M any 2 x 2 matrix */
};

/* Quality of a measured pair. */
enum {
  kDriftOk = 0,
  kDriftRescued = 1, /* the global check replaced the local search's result */
  kDriftSuspect = 2, /* a measurement that looks unreliable */
  kDriftFailed = 3   /* no measurement */
};

typedef struct DriftOptions {
  int32_t method;      /* kDriftClassic, kDriftDefault or kDriftPrecise */
  double startStep;    /* the search's start step, final step and minimum */
  double finalStep;    /* difference (RegisterPair's; the precise method */
  double minDiff;      /* does not use them) */
  int32_t coarseSize;  /* RegisterPair's coarse size (the program uses 512) */
  double maskFraction; /* fraction of each dimension compared (0.5) */
  int32_t model;       /* kDriftTranslation (0) .. kDriftAffine; the precise
                          method only (the others measure translation) */
} DriftOptions;

/* The result of one pair. */
typedef struct DriftResult {
  double dx, dy;       /* the displacement */
  double distance;     /* root mean square grey difference on the 8-bit scale at the
                          result (RegisterPair's distance), -1 when not measured */
  double searchDx, searchDy, searchDistance; /* RegisterPair's own result */
  double distinctness; /* how much the best whole-pixel match stands out: the
                          second-best basin's cost over the best's, minus 1
                          (a large value when there is no second basin; -1
                          when the global search did not run) */
  double precision;    /* the precise method's standard error estimate in
                          pixels, -1 for the other methods */
  double focus;        /* how much blurrier the current frame is than the
                          reference: the sigma in pixels of the Gaussian blur
                          that makes the sharper one match (negative when the
                          reference is the blurrier; 0 when they agree) */
  double inliers;      /* the precise method: the mean robust weight of the
                          compared pixels (1: all fit; -1 other methods) */
  double turn;         /* the precise method with the translation model: how far
                          (pixels) a rotation or scale change that the
                          displacement cannot follow moves the compared
                          area's corners; with the rigid model, the scale
                          change it cannot follow; 0 otherwise */
  double a11, a12, a21, a22; /* the matrix M of the model (the identity for
                          translation); x right, y as the rows count */
  double angle;        /* M's rotation in degrees, counter-clockwise as the
                          picture is displayed (row 0 its bottom) */
  double scale;        /* M's scale (the square root of its determinant) */
  int32_t rescued;     /* 1 when the global check replaced the search's result */
  int32_t quality;     /* kDriftOk, kDriftRescued or kDriftFailed; DriftClassify
                          adds kDriftSuspect */
} DriftResult;

/* A frame prepared for measurement. */
typedef struct DriftFrame DriftFrame;

/* Scratch memory for preparing frames and measuring pairs, taken by the
 * calls ending in With (DriftFrameCreate and DriftMeasure make their own for
 * the call and free it on return). A workspace serves one thread at a time;
 * its memory stays from one call to the next and grows when a call needs
 * more, so that a thread measuring a sequence allocates it once. */
typedef struct DriftWorkspace DriftWorkspace;

/* A new, empty workspace; null when memory is short. */
VANTOR_API DriftWorkspace* DriftWorkspaceCreate(void);

/* Frees the workspace and its memory (null is ignored). */
VANTOR_API void DriftWorkspaceFree(DriftWorkspace* workspace);

/* Prepares a frame: grey is its 8-bit grey rectangle (borrowed: it must stay
 * alive and unchanged until DriftFrameFree), full the same frame at its own
 * depth (1-channel 8, 16, 32 or 64 bits, or 24/48-bit colour; 0 to use grey),
 * read by the precise method only and not kept. reference nonzero prepares
 * the frame to serve as a reference as well. Returns null when grey is not an
 * 8-bit rectangle, full does not match its size, or memory is short. */
VANTOR_API DriftFrame* DriftFrameCreate(int32_t grey, int32_t full, const DriftOptions* options,
                                        int32_t reference);

/* DriftFrameCreate with the workspace's scratch memory (null when the
 * workspace is null). */
VANTOR_API DriftFrame* DriftFrameCreateWith(int32_t grey, int32_t full,
                                            const DriftOptions* options, int32_t reference,
                                            DriftWorkspace* workspace);

/* DriftFrameCreateWith, reusing the memory of spare: a frame no longer needed
 * (any size; taken and freed by the call, also when it fails; null for none),
 * so that the frames of a sequence do not each allocate their buffers afresh. */
VANTOR_API DriftFrame* DriftFrameCreateReusing(int32_t grey, int32_t full,
                                               const DriftOptions* options, int32_t reference,
                                               DriftWorkspace* workspace, DriftFrame* spare);
VANTOR_API void DriftFrameFree(DriftFrame* frame);

/* Measures the current frame against the reference (prepared as one, with
 * the same mask fraction when the frames have one size). The compared area is
 * the current frame's central rectangle; mask is that rectangle as a 1-bit
 * image of the current frame's size (CentralMaskFraction with the fraction
 * the frame was prepared with), or 0 to have it made here. A mask that is not
 * exactly that rectangle is refused. Fills *result; returns 0, or -1 when the
 * pair cannot be measured (result->quality kDriftFailed, distance -1).
 * Thread-safe: frames are only read. */
VANTOR_API int32_t DriftMeasure(const DriftFrame* reference, const DriftFrame* current,
                                int32_t mask, const DriftOptions* options, DriftResult* result);

/* DriftMeasure with the workspace's scratch memory (-1 when the workspace is
 * null). A mask made here for mask 0 stays in the workspace for the next
 * pair of that size and rectangle, until DriftWorkspaceFree. */
VANTOR_API int32_t DriftMeasureWith(const DriftFrame* reference, const DriftFrame* current,
                                    int32_t mask, const DriftOptions* options,
                                    DriftWorkspace* workspace, DriftResult* result);

/* Marks the suspect results of a sequence of n results (the first frame's
 * included): a distance far above the typical distance of the results around
 * it (within DriftClassifyWindow positions: above their median + 4 x 1.4826 x
 * their median absolute deviation, 1.5 x the median and the median + 2 grey
 * levels; needs 5 measured results there; not for the precise method, whose robust fit
 * ignores what moves on its own), a best match that hardly stands out
 * (distinctness below 0.05), a focus difference of more than 2 pixels, or,
 * for the precise method, a standard error above 0.1 pixel, fewer than
 * half of the pixels fitting, or a turn above 1 pixel. Failed results stay failed; a rescued result
 * that is also suspect becomes suspect. Returns the number marked, or -1 when
 * memory is short (nothing is marked then). */
VANTOR_API int32_t DriftClassify(DriftResult* results, int32_t n);

/* The typical distance DriftClassify compares a result with is taken over the
 * results at most this many positions before and after it (so that a part of
 * a sequence measured with this many neighbours on each side is classified as
 * in the whole sequence). */
VANTOR_API int32_t DriftClassifyWindow(void);

/* The turn of a 2 x 2 matrix a = {a11, a12, a21, a22} (y counting up the
 * picture, as DriftResult and SequenceFrame's matrixFirst have it) in degrees,
 * counter-clockwise as displayed, into *angle, and its scale (the square root
 * of its determinant, 0 when that is not positive) into *scale. */
VANTOR_API void DriftMatrixTurn(const double* a, double* angle, double* scale);

/* The name of a quality: "ok", "rescued", "suspect" or "failed". */
VANTOR_API const char* DriftQualityName(int32_t quality);

VANTOR_END_C

#endif
