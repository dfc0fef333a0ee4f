// Bodies of the four job kinds, each run on its job's own thread with
// the job id (a heap int the routine frees) as its only argument. Started by
// the Start* functions of content_helper.h; nothing else calls them.
#pragma once

void* loaderRoutine(void* arg);
void* uploaderRoutine(void* arg);
void* urlLoaderRoutine(void* arg);
void* urlPosterRoutine(void* arg);
