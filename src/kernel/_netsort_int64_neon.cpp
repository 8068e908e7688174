// An Arm NEON form of the int64 network would live here; there is none.
