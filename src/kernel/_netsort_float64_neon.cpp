// An Arm NEON form of the float64 sort would live here; there is none.
