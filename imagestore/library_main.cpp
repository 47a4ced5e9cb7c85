// libkwvaults.so: the image library. Its exported entry points are added by the
// exports/ folder; everything else is hidden.
